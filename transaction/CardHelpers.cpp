#include "transaction/CardHelpers.h"

#include <algorithm>
#include <cstdlib>

#include "foundation/SharedConstants.h"

std::string NormalizeAmount(const std::string& amount) {
    return NormalizeAmount(amount, false);
}

std::string NormalizeAmount(const std::string& amount, bool threeDecimals) {
    std::string digits = amount.empty() ? (threeDecimals ? ".000" : ".00") : amount;
    digits.erase(std::remove_if(digits.begin(), digits.end(), [](char c) { return c == '.' || c == '-' || c == '+'; }),
                 digits.end());
    return digits;
}

std::string TranCodeName(int tranCode) {
    switch (tranCode) {
    case 60:
        return kTranCodeIssue;
    case 61:
        return kTranCodeVoidIssue;
    case 62:
        return kTranCodeSale;
    case 63:
        return kTranCodeReturn;
    case 64:
        return kTranCodeReload;
    case 65:
        return kTranCodeVoidSale;
    case 66:
        return kTranCodeVoidReturn;
    case 67:
        return kTranCodeVoidReload;
    case 68:
        return kTranCodeBalance;
    case 69:
        return kTranCodeNoNSFSale;
    case 70:
        return kTranCodeCashOut;
    default:
        return "INVALID";
    }
}

std::string PadRight(const std::string& text, int width) {
    if (width <= 0) {
        return std::string();
    }
    std::string padded = text.substr(0, std::min(text.size(), static_cast<size_t>(width)));
    padded.resize(static_cast<size_t>(width), ' ');
    return padded;
}

std::string TailFrom(const std::string& text, int position) {
    return SafeMid(text, position);
}

std::string IntToText(int value) {
    return IntToString(value);
}

bool LuhnCheck(const std::string& accountNo) {
    if (accountNo.empty()) {
        return false;
    }
    // Other characters than digits are not refused: they count with their code minus '0', as the check has
    // always done.
    int total = 0;
    int position = 0;
    for (auto it = accountNo.rbegin(); it != accountNo.rend(); ++it, ++position) {
        int value = *it - '0';
        if (position % 2 == 1) {
            value *= 2;
            if (value >= 10) {
                value = value % 10 + value / 10;
            }
        }
        total += value;
    }
    return total % 10 == 0;
}

namespace {

// The leading |count| characters read as a decimal number (stops at the first non-digit).
long LeadingNumber(const std::string& text, size_t count) {
    return std::strtol(text.substr(0, count).c_str(), nullptr, 10);
}

} // namespace

SCardType GetCardType(const std::string& accountNo) {
    SCardType card{kCardTypeOTHER, 'O', 1};
    if (accountNo.empty()) {
        return card;
    }
    const size_t length = accountNo.size();
    switch (accountNo[0]) {
    case '1':
        if (length == 15 && accountNo.starts_with("1800")) {
            card.Name = kCardTypeJCB;
            card.Letter = 'J';
        }
        break;
    case '2':
        if (length == 15 && accountNo.starts_with("2131")) {
            card.Name = kCardTypeJCB;
            card.Letter = 'J';
        }
        break;
    case '3': {
        const long firstTwo = LeadingNumber(accountNo, 2);
        const long firstFour = LeadingNumber(accountNo, 4);
        if (length == 15 && (firstTwo == 34 || firstTwo == 37)) {
            card.Name = kCardTypeAMEX;
        } else if (length == 14 && (firstTwo == 30 || firstTwo == 38)) {
            card.Name = kCardTypeDCLB;
        } else if (length == 14 && firstTwo == 36) {
            card.Name = kCardTypeMC;
        } else if (length == 16 && firstFour >= 3528 && firstFour <= 3589) {
            card.Name = kCardTypeJCB;
        }
        break;
    }
    case '4':
        if (length == 13 || length == 16 || length == 19) {
            card.Name = kCardTypeVISA;
            card.Letter = 'V';
            card.Flag = 0;
        }
        break;
    case '5':
        if (length == 16) {
            card.Name = kCardTypeMC;
            card.Letter = 'M';
            card.Flag = 0;
        }
        break;
    case '6':
        if (length == 16 && (accountNo.starts_with("6011") || accountNo.starts_with("65"))) {
            card.Name = kCardTypeDCVR;
            card.Letter = 'D';
        } else if (length == 19 && accountNo.starts_with("690046")) {
            card.Name = kCardTypeWEX;
            card.Letter = 'W';
        }
        break;
    case '7':
        if (length == 19 && accountNo.starts_with("7088")) {
            card.Name = kCardTypeVOYAGER;
            card.Letter = 'V';
        }
        break;
    case '8':
        if (length == 13 && accountNo.starts_with("81")) {
            card.Name = kCardTypeDCLB;
            card.Letter = 'C';
        }
        break;
    default:
        break;
    }
    return card;
}
