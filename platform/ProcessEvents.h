#pragma once
// The three process-wide events that the host interface, the dial link and the client sessions share.

#include "platform/Event.h"

// Manual reset; set when the host interface stops. Blocking socket reads, the ticket list, the dial link
// and the 30-second hold of a request watch it.
extern CEvent g_ShutdownEvent;
// Manual reset; set while the dial line is connected.
extern CEvent g_DialConnectedEvent;
// Automatic reset; set when the provider list is exhausted, it wakes the service-discovery thread.
extern CEvent g_ServiceDiscoveryRequest;
