#pragma once
// The merchant parameters as the management service hands them out: one text of FS-separated key=value pairs,
// one pair per parameter ("<index>=<unused>|<type>|<min>|<max>|<value>") plus the control pairs "500" (the
// service's answer to our challenge) and "510" (the service's error text). Parse checks every parameter against
// the definition the running system holds for it and yields a new map only when every check passed.

#include <string>

#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"

// The control keys of the message.
inline constexpr char kParamMessageChallengeKey[] = "500";
inline constexpr char kParamMessageServiceErrorKey[] = "510";

// Holds the control values and the first error of the last Parse. A plain object: one thread uses it (the
// download's worker); it reads the store only through a copy.
class CParamMessage {
public:
    CParamMessage() = default;
    virtual ~CParamMessage() = default;

    // Empties |map|, then parses |text|: true with the 22 parameters in |map| when every pair passed; false with
    // m_ServiceError (the service refused) or m_ParseError (the first check that failed) set and |map| empty.
    // The definitions (key, type, lengths) come from a copy of |store|'s current set, which stays untouched.
    bool Parse(const std::string& text, CParamMap& map, const CParamStore& store = CParamStore::Instance());

    // Read directly by the caller after Parse.
    std::string m_ChallengeAnswer; // item 5 of "500"
    std::string m_ServiceError;    // item 5 of "510"
    std::string m_ParseError;      // the text of the first check that failed
};
