#pragma once
// The program's own interface pieces: the real reversal worker, host interface, service discovery and POS
// client server, and the stand-ins for the pieces not built yet (app/PendingInterfaces.h).

#include "app/InterfaceAdapters.h"
#include "app/InterfaceController.h"
#include "app/PendingInterfaces.h"

// Built in the order the view would build them and destroyed in the reverse. Not thread-safe: for the
// user-interface thread (the pieces' own threads work behind them).
class CProgramInterfaces final : public IInterfaceSet {
public:
    // |posPort|: the port the POS clients are served on (0: the system chooses).
    explicit CProgramInterfaces(int posPort) : serverFactory(posPort) {}

    CInterfaceParts Parts() override {
        return CInterfaceParts{reverseWorker,    ruvuzUvirInterface, dialBackup,       serviceDiscovery,
                               pipeServerThread, serverFactory,      parameterDownload};
    }

    CReverseWorkerPart reverseWorker;
    CNoDialBackup dialBackup;
    CRuvuzUvirInterfacePart ruvuzUvirInterface{dialBackup};
    CServiceDiscoveryPart serviceDiscovery;
    CNoLauncherPipe pipeServerThread;
    CNoParameterDownload parameterDownload;
    CPosServerFactory serverFactory;
};
