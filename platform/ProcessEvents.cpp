#include "platform/ProcessEvents.h"

CEvent g_ShutdownEvent{true, false};
CEvent g_DialConnectedEvent{true, false};
CEvent g_ServiceDiscoveryRequest{false, false};
