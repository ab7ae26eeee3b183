#pragma once
// The fixed vocabulary of the system: card type words, payment kinds, host message types, reversal reasons,
// request field keys, TranType, account and TranCode values, and the bounds of the merchant parameter indexes.
// Every module compares with and writes these names instead of repeating the text; comparisons are exact and
// case-sensitive. The constants are inline so that a global of another file that includes this header is
// always built after them. Read-only for the whole process life: any thread may read them without a lock.

#include <array>
#include <string>

// CardTypeNames: Card type words that the card type lookup returns and the reply's "CardType" element carries.
inline const std::string kCardTypeAMEX = "AMEX";
inline const std::string kCardTypeVISA = "VISA";
inline const std::string kCardTypeMC = "M/C";
inline const std::string kCardTypeDCLB = "DCLB";
inline const std::string kCardTypeCART = "CART";
inline const std::string kCardTypeDCVR = "DCVR";
inline const std::string kCardTypeJCB = "JCB";
inline const std::string kCardTypeOTHER = "OTHER";
inline const std::string kCardTypeWEX = "WEX";
inline const std::string kCardTypeVOYAGER = "VOYAGER";

// PaymentKindNames: Payment kinds; "PrePaid" is the card type of every accepted request, "SV." opens every host
// message.
inline const std::string kPaymentKindDebit = "Debit";
inline const std::string kPaymentKindPersonalCheck = "PersonalCheck";
inline const std::string kPaymentKindCompanyCheck = "CompanyCheck";
inline const std::string kPaymentKindFoodstamp = "Foodstamp";
inline const std::string kPaymentKindCash = "Cash";
inline const std::string kPaymentKindPrePaid = "PrePaid";
inline const std::string kPaymentKindDEBIT = "DEBIT";
inline const std::string kPaymentKindRETAIL = "RETAIL";
inline const std::string kPaymentKindSV = "SV.";

// HostMessageTypes: Host message type codes (field "40"); "0704" reverses an earlier transaction.
inline const std::string kHostMessageType0100 = "0100";
inline const std::string kHostMessageType0200 = "0200";
inline const std::string kHostMessageType0202 = "0202";
inline const std::string kHostMessageType0300 = "0300";
inline const std::string kHostMessageType0400 = "0400";
inline const std::string kHostMessageType0600 = "0600";
inline const std::string kHostMessageType0704 = "0704";
inline const std::string kHostMessageType0800 = "0800";
inline const std::string kHostMessageType0801 = "0801";
inline const std::string kHostMessageType0802 = "0802";

// ReversalReasons: Why a reversal was queued; the reversal log line quotes the reason.
inline const std::string kReversalReasonRuvuzUvirTimeout = "RuvuzUvirTimeout";
inline const std::string kReversalReasonUndeliverableToClient = "UndeliverableToClient";
inline const std::string kReversalReasonPreviousReversalFailed = "PreviousReversalFailed";
inline const std::string kReversalReasonZeros = "00000";

// RequestFieldNames: TStream element values and key, then the field keys of the request payload and the reply elements.
inline const std::string kTStreamTransaction = "Transaction";
inline const std::string kTStreamAdmin = "Admin";
inline const std::string kTStreamCorvane = "Corvane";
inline const std::string kRequestFieldTStream = "TStream";
inline const std::string kRequestFieldCardType = "CardType";
inline const std::string kRequestFieldTrack2 = "Track2";
inline const std::string kRequestFieldAcctNo = "AcctNo";
inline const std::string kRequestFieldExpDate = "ExpDate";
inline const std::string kRequestFieldDriversLicense = "DriversLicense";
inline const std::string kRequestFieldStateCode = "StateCode";
inline const std::string kRequestFieldDateOfBirth = "DateOfBirth";
inline const std::string kRequestFieldMICR = "MICR";
inline const std::string kRequestFieldRoutingNo = "RoutingNo";
inline const std::string kRequestFieldTranCode = "TranCode";
inline const std::string kRequestFieldTranType = "TranType";
inline const std::string kRequestFieldPurchase = "Purchase";
inline const std::string kRequestFieldCashBack = "CashBack";
inline const std::string kRequestFieldTax = "Tax";
inline const std::string kRequestFieldCustomerCode = "CustomerCode";
inline const std::string kRequestFieldAuthorize = "Authorize";
inline const std::string kRequestFieldGratuity = "Gratuity";
inline const std::string kRequestFieldSelection = "Selection";
inline const std::string kRequestFieldAccountSource = "AccountSource";
inline const std::string kRequestFieldPINBlock = "PINBlock";
inline const std::string kRequestFieldDervdKey = "DervdKey";
inline const std::string kRequestFieldMACValue = "MACValue";
inline const std::string kRequestFieldSequenceNo = "SequenceNo";
inline const std::string kRequestFieldPinPadSerialNo = "PinPadSerialNo";
inline const std::string kRequestFieldReversalQueNo = "ReversalQueNo";
inline const std::string kRequestFieldAuthCode = "AuthCode";
inline const std::string kRequestFieldRefNo = "RefNo";
inline const std::string kRequestFieldInvoiceNo = "InvoiceNo";
inline const std::string kRequestFieldVoucherNo = "VoucherNo";
inline const std::string kRequestFieldAddress = "Address";
inline const std::string kRequestFieldZip = "Zip";
inline const std::string kRequestFieldShiftID = "ShiftID";
inline const std::string kRequestFieldTerminalName = "TerminalName";
inline const std::string kRequestFieldMerchantID = "MerchantID";
inline const std::string kRequestFieldTerminalID = "TerminalID";
inline const std::string kRequestFieldOperatorID = "OperatorID";
inline const std::string kRequestFieldMemo = "Memo";
inline const std::string kRequestFieldAcqRefData = "AcqRefData";
inline const std::string kRequestFieldCVVData = "CVVData";
inline const std::string kRequestFieldCVVResult = "CVVResult";
inline const std::string kRequestFieldAVSResult = "AVSResult";
inline const std::string kRequestFieldDuplicate = "Duplicate";
inline const std::string kRequestFieldName = "Name";
inline const std::string kRequestFieldBatchNo = "BatchNo";
inline const std::string kRequestFieldBatchItemCount = "BatchItemCount";
inline const std::string kRequestFieldNetBatchTotal = "NetBatchTotal";
inline const std::string kRequestFieldCreditPurchaseCount = "CreditPurchaseCount";
inline const std::string kRequestFieldCreditPurchaseAmount = "CreditPurchaseAmount";
inline const std::string kRequestFieldCreditReturnCount = "CreditReturnCount";
inline const std::string kRequestFieldCreditReturnAmount = "CreditReturnAmount";
inline const std::string kRequestFieldDebitPurchaseCount = "DebitPurchaseCount";
inline const std::string kRequestFieldDebitPurchaseAmount = "DebitPurchaseAmount";
inline const std::string kRequestFieldDebitReturnCount = "DebitReturnCount";
inline const std::string kRequestFieldDebitReturnAmount = "DebitReturnAmount";
inline const std::string kRequestFieldDriverNumber = "DriverNumber";
inline const std::string kRequestFieldVehicleNumber = "VehicleNumber";
inline const std::string kRequestFieldOdometerReading = "OdometerReading";
inline const std::string kRequestFieldFleetPINBlock = "FleetPINBlock";
inline const std::string kRequestFieldFleetDervdKey = "FleetDervdKey";
inline const std::string kRequestFieldItemCode1 = "ItemCode1";
inline const std::string kRequestFieldItemQuantity1 = "ItemQuantity1";
inline const std::string kRequestFieldItemUnitCost1 = "ItemUnitCost1";
inline const std::string kRequestFieldItemTotal1 = "ItemTotal1";
inline const std::string kRequestFieldItemCode2 = "ItemCode2";
inline const std::string kRequestFieldItemQuantity2 = "ItemQuantity2";
inline const std::string kRequestFieldItemUnitCost2 = "ItemUnitCost2";
inline const std::string kRequestFieldItemTotal2 = "ItemTotal2";
inline const std::string kRequestFieldItemCode3 = "ItemCode3";
inline const std::string kRequestFieldItemQuantity3 = "ItemQuantity3";
inline const std::string kRequestFieldItemUnitCost3 = "ItemUnitCost3";
inline const std::string kRequestFieldItemTotal3 = "ItemTotal3";
inline const std::string kRequestFieldItemCode4 = "ItemCode4";
inline const std::string kRequestFieldItemQuantity4 = "ItemQuantity4";
inline const std::string kRequestFieldItemUnitCost4 = "ItemUnitCost4";
inline const std::string kRequestFieldItemTotal4 = "ItemTotal4";
inline const std::string kRequestFieldItemCode5 = "ItemCode5";
inline const std::string kRequestFieldItemQuantity5 = "ItemQuantity5";
inline const std::string kRequestFieldItemUnitCost5 = "ItemUnitCost5";
inline const std::string kRequestFieldItemTotal5 = "ItemTotal5";
inline const std::string kRequestFieldQuery = "Query";
inline const std::string kRequestFieldNumFields = "NumFields";
inline const std::string kRequestFieldSpecial = "Special";
inline const std::string kRequestFieldRawReversalReason = "RawReversalReason";

// TranTypeNames: TranType values; only "PrePaid" is accepted.
inline const std::string kTranTypeAdministrative = "Administrative";
inline const std::string kTranTypeCredit = "Credit";
inline const std::string kTranTypeDebit = "Debit";
inline const std::string kTranTypeCanadianDebit = "CanadianDebit";
inline const std::string kTranTypeEBT = "EBT";
inline const std::string kTranTypeCheckAuth = "CheckAuth";
inline const std::string kTranTypePrePaid = "PrePaid";

// AccountSourceNames: Where the account number came from.
inline const std::string kAccountSourceReader = "Reader";
inline const std::string kAccountSourceKeyed = "Keyed";
inline const std::string kAccountSourceContactless = "Contactless";

// AccountTypeNames: Account types.
inline const std::string kAccountTypeSavings = "Savings";
inline const std::string kAccountTypeChecking = "Checking";
inline const std::string kAccountTypeChequing = "Chequing";

// TranCodeNames: TranCode values, in the order of the request vocabulary.
inline const std::string kTranCodeSale = "Sale";
inline const std::string kTranCodeNoNSFSale = "NoNSFSale";
inline const std::string kTranCodeReturn = "Return";
inline const std::string kTranCodeReload = "Reload";
inline const std::string kTranCodeVoidSale = "VoidSale";
inline const std::string kTranCodeVoidReturn = "VoidReturn";
inline const std::string kTranCodeVoidReload = "VoidReload";
inline const std::string kTranCodePreAuth = "PreAuth";
inline const std::string kTranCodeVoiceAuth = "VoiceAuth";
inline const std::string kTranCodePreAuthCapture = "PreAuthCapture";
inline const std::string kTranCodeAuthOnly = "AuthOnly";
inline const std::string kTranCodeOverride = "Override";
inline const std::string kTranCodeAdjust = "Adjust";
inline const std::string kTranCodeNone = "None";
inline const std::string kTranCodeIllegible = "Illegible";
inline const std::string kTranCodeBalance = "Balance";
inline const std::string kTranCodeCashOut = "CashOut";
inline const std::string kTranCodeVoucher = "Voucher";
inline const std::string kTranCodeVoucherReturn = "VoucherReturn";
inline const std::string kTranCodeIssue = "Issue";
inline const std::string kTranCodeVoidIssue = "VoidIssue";
inline const std::string kTranCodeReverseSale = "ReverseSale";
inline const std::string kTranCodeReverseReturn = "ReverseReturn";
inline const std::string kTranCodeBatchClear = "BatchClear";
inline const std::string kTranCodeBatchClose = "BatchClose";
inline const std::string kTranCodeBatchSummary = "BatchSummary";
inline const std::string kTranCodeItemDetail = "ItemDetail";
inline const std::string kTranCodeKeyChange = "KeyChange";
inline const std::string kTranCodeServerVersion = "ServerVersion";
inline const std::string kTranCodeSQLQuery = "SQLQuery";
inline const std::string kTranCodeFluxcart = "Fluxcart";
// ParamIndexBounds: the merchant parameter set loops from the first to the last index inclusive (22 entries).
inline constexpr int kParamHighestIndex = 21;
inline constexpr int kParamCountBound = kParamHighestIndex;
inline constexpr int kParamFirstIndex = 0;
inline constexpr int kParamLastIndex = kParamCountBound;

// Each group in its declaration order, for code (and tests) that walks a whole vocabulary.
inline constexpr std::array<const std::string*, 10> kCardTypeNames{
    &kCardTypeAMEX, &kCardTypeVISA, &kCardTypeMC,    &kCardTypeDCLB, &kCardTypeCART,
    &kCardTypeDCVR, &kCardTypeJCB,  &kCardTypeOTHER, &kCardTypeWEX,  &kCardTypeVOYAGER};
inline constexpr std::array<const std::string*, 9> kPaymentKindNames{
    &kPaymentKindDebit,     &kPaymentKindPersonalCheck, &kPaymentKindCompanyCheck,
    &kPaymentKindFoodstamp, &kPaymentKindCash,          &kPaymentKindPrePaid,
    &kPaymentKindDEBIT,     &kPaymentKindRETAIL,        &kPaymentKindSV};
inline constexpr std::array<const std::string*, 10> kHostMessageTypes{
    &kHostMessageType0100, &kHostMessageType0200, &kHostMessageType0202, &kHostMessageType0300, &kHostMessageType0400,
    &kHostMessageType0600, &kHostMessageType0704, &kHostMessageType0800, &kHostMessageType0801, &kHostMessageType0802};
inline constexpr std::array<const std::string*, 4> kReversalReasons{
    &kReversalReasonRuvuzUvirTimeout, &kReversalReasonUndeliverableToClient, &kReversalReasonPreviousReversalFailed,
    &kReversalReasonZeros};
inline constexpr std::array<const std::string*, 87> kRequestFieldNames{&kTStreamTransaction,
                                                                       &kTStreamAdmin,
                                                                       &kTStreamCorvane,
                                                                       &kRequestFieldTStream,
                                                                       &kRequestFieldCardType,
                                                                       &kRequestFieldTrack2,
                                                                       &kRequestFieldAcctNo,
                                                                       &kRequestFieldExpDate,
                                                                       &kRequestFieldDriversLicense,
                                                                       &kRequestFieldStateCode,
                                                                       &kRequestFieldDateOfBirth,
                                                                       &kRequestFieldMICR,
                                                                       &kRequestFieldRoutingNo,
                                                                       &kRequestFieldTranCode,
                                                                       &kRequestFieldTranType,
                                                                       &kRequestFieldPurchase,
                                                                       &kRequestFieldCashBack,
                                                                       &kRequestFieldTax,
                                                                       &kRequestFieldCustomerCode,
                                                                       &kRequestFieldAuthorize,
                                                                       &kRequestFieldGratuity,
                                                                       &kRequestFieldSelection,
                                                                       &kRequestFieldAccountSource,
                                                                       &kRequestFieldPINBlock,
                                                                       &kRequestFieldDervdKey,
                                                                       &kRequestFieldMACValue,
                                                                       &kRequestFieldSequenceNo,
                                                                       &kRequestFieldPinPadSerialNo,
                                                                       &kRequestFieldReversalQueNo,
                                                                       &kRequestFieldAuthCode,
                                                                       &kRequestFieldRefNo,
                                                                       &kRequestFieldInvoiceNo,
                                                                       &kRequestFieldVoucherNo,
                                                                       &kRequestFieldAddress,
                                                                       &kRequestFieldZip,
                                                                       &kRequestFieldShiftID,
                                                                       &kRequestFieldTerminalName,
                                                                       &kRequestFieldMerchantID,
                                                                       &kRequestFieldTerminalID,
                                                                       &kRequestFieldOperatorID,
                                                                       &kRequestFieldMemo,
                                                                       &kRequestFieldAcqRefData,
                                                                       &kRequestFieldCVVData,
                                                                       &kRequestFieldCVVResult,
                                                                       &kRequestFieldAVSResult,
                                                                       &kRequestFieldDuplicate,
                                                                       &kRequestFieldName,
                                                                       &kRequestFieldBatchNo,
                                                                       &kRequestFieldBatchItemCount,
                                                                       &kRequestFieldNetBatchTotal,
                                                                       &kRequestFieldCreditPurchaseCount,
                                                                       &kRequestFieldCreditPurchaseAmount,
                                                                       &kRequestFieldCreditReturnCount,
                                                                       &kRequestFieldCreditReturnAmount,
                                                                       &kRequestFieldDebitPurchaseCount,
                                                                       &kRequestFieldDebitPurchaseAmount,
                                                                       &kRequestFieldDebitReturnCount,
                                                                       &kRequestFieldDebitReturnAmount,
                                                                       &kRequestFieldDriverNumber,
                                                                       &kRequestFieldVehicleNumber,
                                                                       &kRequestFieldOdometerReading,
                                                                       &kRequestFieldFleetPINBlock,
                                                                       &kRequestFieldFleetDervdKey,
                                                                       &kRequestFieldItemCode1,
                                                                       &kRequestFieldItemQuantity1,
                                                                       &kRequestFieldItemUnitCost1,
                                                                       &kRequestFieldItemTotal1,
                                                                       &kRequestFieldItemCode2,
                                                                       &kRequestFieldItemQuantity2,
                                                                       &kRequestFieldItemUnitCost2,
                                                                       &kRequestFieldItemTotal2,
                                                                       &kRequestFieldItemCode3,
                                                                       &kRequestFieldItemQuantity3,
                                                                       &kRequestFieldItemUnitCost3,
                                                                       &kRequestFieldItemTotal3,
                                                                       &kRequestFieldItemCode4,
                                                                       &kRequestFieldItemQuantity4,
                                                                       &kRequestFieldItemUnitCost4,
                                                                       &kRequestFieldItemTotal4,
                                                                       &kRequestFieldItemCode5,
                                                                       &kRequestFieldItemQuantity5,
                                                                       &kRequestFieldItemUnitCost5,
                                                                       &kRequestFieldItemTotal5,
                                                                       &kRequestFieldQuery,
                                                                       &kRequestFieldNumFields,
                                                                       &kRequestFieldSpecial,
                                                                       &kRequestFieldRawReversalReason};
inline constexpr std::array<const std::string*, 7> kTranTypeNames{
    &kTranTypeAdministrative, &kTranTypeCredit, &kTranTypeDebit, &kTranTypeCanadianDebit, &kTranTypeEBT,
    &kTranTypeCheckAuth,      &kTranTypePrePaid};
inline constexpr std::array<const std::string*, 3> kAccountSourceNames{&kAccountSourceReader, &kAccountSourceKeyed,
                                                                       &kAccountSourceContactless};
inline constexpr std::array<const std::string*, 3> kAccountTypeNames{&kAccountTypeSavings, &kAccountTypeChecking,
                                                                     &kAccountTypeChequing};
inline constexpr std::array<const std::string*, 31> kTranCodeNames{
    &kTranCodeSale,          &kTranCodeNoNSFSale,      &kTranCodeReturn,        &kTranCodeReload,
    &kTranCodeVoidSale,      &kTranCodeVoidReturn,     &kTranCodeVoidReload,    &kTranCodePreAuth,
    &kTranCodeVoiceAuth,     &kTranCodePreAuthCapture, &kTranCodeAuthOnly,      &kTranCodeOverride,
    &kTranCodeAdjust,        &kTranCodeNone,           &kTranCodeIllegible,     &kTranCodeBalance,
    &kTranCodeCashOut,       &kTranCodeVoucher,        &kTranCodeVoucherReturn, &kTranCodeIssue,
    &kTranCodeVoidIssue,     &kTranCodeReverseSale,    &kTranCodeReverseReturn, &kTranCodeBatchClear,
    &kTranCodeBatchClose,    &kTranCodeBatchSummary,   &kTranCodeItemDetail,    &kTranCodeKeyChange,
    &kTranCodeServerVersion, &kTranCodeSQLQuery,       &kTranCodeFluxcart};
