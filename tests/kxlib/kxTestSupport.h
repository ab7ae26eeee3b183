#pragma once
// Small helpers the utility-library tests share.

#include <functional>
#include <string>
#include <vector>

#include "kxlib/kxException.h"
#include "kxlib/kxString.h"

namespace kx_test {

// The text of the kxException |call| throws; "<no exception>" when it returns.
inline std::string ThrownText(const std::function<void()>& call) {
    try {
        call();
    } catch (const kxException& e) {
        return e.Str();
    }
    return "<no exception>";
}

inline std::vector<std::string> Texts(const std::vector<kxString>& items) {
    std::vector<std::string> texts;
    for (const kxString& item : items) {
        texts.push_back(item.Str());
    }
    return texts;
}

} // namespace kx_test
