#include "foundation/SharedConstants.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

template <typename Group> std::string Join(const Group& group) {
    std::string joined;
    for (const std::string* text : group) {
        if (!joined.empty()) {
            joined += ',';
        }
        joined += *text;
    }
    return joined;
}

struct SGroupCase {
    const char* Name;
    std::string Joined;
    size_t Size;
    std::string Expected;
};

} // namespace

// Every text, in the order the vocabulary is declared: a typo, a lost member or a swapped pair shows here.
TEST(SharedConstants, EveryGroupHoldsItsTextsInOrder) {
    const SGroupCase cases[] = {
        {"CardTypeNames", Join(kCardTypeNames), kCardTypeNames.size(),
         "AMEX,VISA,M/C,DCLB,CART,DCVR,JCB,OTHER,WEX,VOYAGER"},
        {"PaymentKindNames", Join(kPaymentKindNames), kPaymentKindNames.size(),
         "Debit,PersonalCheck,CompanyCheck,Foodstamp,Cash,PrePaid,DEBIT,RETAIL,SV."},
        {"HostMessageTypes", Join(kHostMessageTypes), kHostMessageTypes.size(),
         "0100,0200,0202,0300,0400,0600,0704,0800,0801,0802"},
        {"ReversalReasons", Join(kReversalReasons), kReversalReasons.size(),
         "RuvuzUvirTimeout,UndeliverableToClient,PreviousReversalFailed,00000"},
        {"RequestFieldNames", Join(kRequestFieldNames), kRequestFieldNames.size(),
         "Transaction,Admin,Corvane,TStream,"
         "CardType,Track2,AcctNo,ExpDate,DriversLicense,StateCode,DateOfBirth,MICR,RoutingNo,TranCode,TranType,"
         "Purchase,CashBack,Tax,CustomerCode,Authorize,Gratuity,Selection,AccountSource,PINBlock,DervdKey,"
         "MACValue,SequenceNo,PinPadSerialNo,ReversalQueNo,AuthCode,RefNo,InvoiceNo,VoucherNo,Address,Zip,"
         "ShiftID,TerminalName,MerchantID,TerminalID,OperatorID,Memo,AcqRefData,CVVData,CVVResult,AVSResult,"
         "Duplicate,Name,BatchNo,BatchItemCount,NetBatchTotal,CreditPurchaseCount,CreditPurchaseAmount,"
         "CreditReturnCount,CreditReturnAmount,DebitPurchaseCount,DebitPurchaseAmount,DebitReturnCount,"
         "DebitReturnAmount,DriverNumber,VehicleNumber,OdometerReading,FleetPINBlock,FleetDervdKey,"
         "ItemCode1,ItemQuantity1,ItemUnitCost1,ItemTotal1,ItemCode2,ItemQuantity2,ItemUnitCost2,ItemTotal2,"
         "ItemCode3,ItemQuantity3,ItemUnitCost3,ItemTotal3,ItemCode4,ItemQuantity4,ItemUnitCost4,ItemTotal4,"
         "ItemCode5,ItemQuantity5,ItemUnitCost5,ItemTotal5,Query,NumFields,Special,RawReversalReason"},
        {"TranTypeNames", Join(kTranTypeNames), kTranTypeNames.size(),
         "Administrative,Credit,Debit,CanadianDebit,EBT,CheckAuth,PrePaid"},
        {"AccountSourceNames", Join(kAccountSourceNames), kAccountSourceNames.size(), "Reader,Keyed,Contactless"},
        {"AccountTypeNames", Join(kAccountTypeNames), kAccountTypeNames.size(), "Savings,Checking,Chequing"},
        {"TranCodeNames", Join(kTranCodeNames), kTranCodeNames.size(),
         "Sale,NoNSFSale,Return,Reload,VoidSale,VoidReturn,VoidReload,PreAuth,VoiceAuth,PreAuthCapture,AuthOnly,"
         "Override,Adjust,None,Illegible,Balance,CashOut,Voucher,VoucherReturn,Issue,VoidIssue,ReverseSale,"
         "ReverseReturn,BatchClear,BatchClose,BatchSummary,ItemDetail,KeyChange,ServerVersion,SQLQuery,Fluxcart"},
    };
    size_t total = 0;
    for (const SGroupCase& c : cases) {
        EXPECT_EQ(c.Joined, c.Expected) << c.Name;
        total += c.Size;
    }
    EXPECT_EQ(total, 164u);
    EXPECT_EQ(kRequestFieldNames.size(), 87u);
}

TEST(SharedConstants, NamedConstantsCarryTheirExactTexts) {
    EXPECT_EQ(kCardTypeMC, "M/C");
    EXPECT_EQ(kPaymentKindSV, "SV.");
    EXPECT_EQ(kPaymentKindPrePaid, "PrePaid");
    EXPECT_EQ(kHostMessageType0704, "0704");
    EXPECT_EQ(kReversalReasonRuvuzUvirTimeout, "RuvuzUvirTimeout");
    EXPECT_EQ(kReversalReasonUndeliverableToClient, "UndeliverableToClient");
    EXPECT_EQ(kReversalReasonZeros, "00000");
    EXPECT_EQ(kTStreamTransaction, "Transaction");
    EXPECT_EQ(kRequestFieldTStream, "TStream");
    EXPECT_EQ(kRequestFieldRawReversalReason, "RawReversalReason");
    EXPECT_EQ(kTranCodeVoidSale, "VoidSale");
    EXPECT_EQ(kTranCodeNoNSFSale, "NoNSFSale");
}

TEST(SharedConstants, ComparisonsAreCaseSensitive) {
    for (const char* text : {"voidsale", "VOIDSALE", "Voidsale", "sale", "cashout"}) {
        for (const std::string* code : kTranCodeNames) {
            EXPECT_NE(*code, text);
        }
    }
    EXPECT_NE(kPaymentKindDebit, kPaymentKindDEBIT);
}

TEST(SharedConstants, EqualTextsInTwoGroupsStaySeparateConstants) {
    EXPECT_EQ(kPaymentKindDebit, kTranTypeDebit);
    EXPECT_NE(&kPaymentKindDebit, &kTranTypeDebit);
    EXPECT_EQ(kPaymentKindPrePaid, kTranTypePrePaid);
    EXPECT_NE(&kPaymentKindPrePaid, &kTranTypePrePaid);
}

TEST(SharedConstants, TextsAreUniqueWithinEachGroup) {
    auto distinct = [](const auto& group) {
        std::set<std::string> texts;
        for (const std::string* text : group) {
            texts.insert(*text);
        }
        return texts.size();
    };
    EXPECT_EQ(distinct(kCardTypeNames), kCardTypeNames.size());
    EXPECT_EQ(distinct(kRequestFieldNames), kRequestFieldNames.size());
    EXPECT_EQ(distinct(kTranCodeNames), kTranCodeNames.size());
}

TEST(SharedConstants, ParameterLoopVisitsTwentyTwoIndexes) {
    EXPECT_EQ(kParamHighestIndex, 21);
    EXPECT_EQ(kParamCountBound, 21);
    std::set<int> visited;
    for (int index = kParamFirstIndex; index <= kParamLastIndex; ++index) {
        visited.insert(index);
    }
    EXPECT_EQ(visited.size(), 22u);
    EXPECT_EQ(*visited.begin(), 0);
    EXPECT_EQ(*visited.rbegin(), 21);
}
