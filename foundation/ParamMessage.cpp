#include "foundation/ParamMessage.h"

#include <algorithm>

#include "foundation/SharedConstants.h"
#include "foundation/TextHelpers.h"
#include "platform/ControlChars.h"

namespace {
constexpr char kItemSeparator = '|';
constexpr int kTypeItem = 2;
constexpr int kMinLenItem = 3;
constexpr int kMaxLenItem = 4;
constexpr int kValueItem = 5;
constexpr int kParamCount = kParamLastIndex - kParamFirstIndex + 1;

// Item 5 of the control pair |key|, taken out of |pairs| when its value is not empty; "" otherwise.
std::string TakeControlValue(CStringMap& pairs, const char* key) {
    const auto found = pairs.find(key);
    if (found == pairs.end() || found->second.empty()) {
        return std::string();
    }
    CItemMap items;
    SplitToItems(kItemSeparator, found->second, items);
    pairs.erase(found);
    return GetItem(items, kValueItem);
}
} // namespace

bool CParamMessage::Parse(const std::string& text, CParamMap& map, const CParamStore& store) {
    map.RemoveAll();

    // The stored form separates values with ";" and has no escape, so a ";" can never be kept.
    std::string copy = text;
    std::replace(copy.begin(), copy.end(), ';', ',');

    CItemMap segments;
    SplitToItems(kCharFS, copy, segments);
    CStringMap pairs;
    for (const auto& [number, segment] : segments) {
        const size_t equals = segment.find('=');
        if (equals != std::string::npos) {
            pairs[segment.substr(0, equals)] = segment.substr(equals + 1);
        }
    }

    m_ChallengeAnswer = TakeControlValue(pairs, kParamMessageChallengeKey);
    m_ServiceError = TakeControlValue(pairs, kParamMessageServiceErrorKey);
    if (!m_ServiceError.empty()) {
        return false;
    }

    const CParamMap definitions = store.GetParams().GetParamMap();
    if (pairs.size() != static_cast<size_t>(kParamCount)) {
        m_ParseError = FormatText("Expected %d Parms Got %d", kParamCount, static_cast<int>(pairs.size()));
        return false;
    }

    CParamMap received;
    for (const auto& [key, value] : pairs) {
        const int index = LeadingInt(key);
        const CParamEntry* definition =
            index < kParamFirstIndex || index > kParamLastIndex ? nullptr : definitions.FindEntry(index);
        if (definition == nullptr) {
            m_ParseError = FormatText("Parm#: %d is out of bounds.", index);
            return false;
        }
        // "5" and "05" name the same parameter: the second would leave another one unset while the count passed.
        if (received.FindEntry(index) != nullptr) {
            m_ParseError = FormatText("Parm#: %d is received more than once.", index);
            return false;
        }
        const CParamType& type = definition->GetType();
        CItemMap items;
        SplitToItems(kItemSeparator, value, items);
        const std::string typeCode = GetItem(items, kTypeItem);
        if (typeCode != type.GetTypeCode()) {
            m_ParseError = FormatText("Parm#: %d [%s] Receive Data Type: [%s] is incorrect expecting: [%s].", index,
                                      definition->GetName().c_str(), typeCode.c_str(), type.GetTypeCode().c_str());
            return false;
        }
        const std::string minLen = GetItem(items, kMinLenItem);
        if (LeadingInt(minLen) != type.GetMinLen()) {
            m_ParseError =
                FormatText("Parm#: %d MinLen %s is incorrect [%d].", index, minLen.c_str(), type.GetMinLen());
            return false;
        }
        const std::string maxLen = GetItem(items, kMaxLenItem);
        if (LeadingInt(maxLen) != type.GetMaxLen()) {
            m_ParseError =
                FormatText("Parm#: %d MaxLen %s is incorrect [%d].", index, maxLen.c_str(), type.GetMaxLen());
            return false;
        }
        const std::string parameter = GetItem(items, kValueItem);
        if (!type.IsValid(parameter)) {
            m_ParseError = FormatText("Parm#: %d failed to Validate (1) [%s]", index, value.c_str());
            return false;
        }
        received.SetAt(static_cast<unsigned>(index), CParamEntry(type, definition->GetName(), parameter));
    }
    map = received;
    return true;
}
