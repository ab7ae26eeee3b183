#include "foundation/AppMode.h"

CAppModeFlags& AppModeFlags() {
    static CAppModeFlags flags;
    return flags;
}
