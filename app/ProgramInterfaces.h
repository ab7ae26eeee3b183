#pragma once
// The program's own interface pieces: the real reversal worker, host interface, dial backup, service
// discovery, parameter download and POS client server, and the stand-in for the launcher pipe
// (app/PendingInterfaces.h).

#include "app/InterfaceAdapters.h"
#include "app/InterfaceController.h"
#include "app/ParameterDownload.h"
#include "app/PendingInterfaces.h"
#include "app/VYRRuvuzUvirIP_Voda50App.h"

// Built in the order the view would build them and destroyed in the reverse. Not thread-safe: for the
// user-interface thread (the pieces' own threads work behind them).
class CProgramInterfaces final : public IInterfaceSet {
public:
    // |posPort|: the port the POS clients are served on (0: the system chooses); |hostWorkers|: the most host
    // exchanges at once; |app| tells the parameter download its device id and must outlive the pieces.
    CProgramInterfaces(int posPort, int hostWorkers, const CVYRRuvuzUvirIP_Voda50App& app)
        : ruvuzUvirInterface(dialBackup, hostWorkers), parameterDownload([&app] { return app.GetDeviceId(); }),
          serverFactory(posPort) {}

    CInterfaceParts Parts() override {
        return CInterfaceParts{reverseWorker,    ruvuzUvirInterface, dialBackup,       serviceDiscovery,
                               pipeServerThread, serverFactory,      parameterDownload};
    }

    CReverseWorkerPart reverseWorker;
    CDialBackupPart dialBackup;
    CRuvuzUvirInterfacePart ruvuzUvirInterface;
    CServiceDiscoveryPart serviceDiscovery;
    CNoLauncherPipe pipeServerThread;
    CParameterDownload parameterDownload;
    CPosServerFactory serverFactory;
};
