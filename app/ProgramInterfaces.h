#pragma once
// The program's own interface pieces: the real reversal worker, host interface, dial backup, service
// discovery, parameter download, POS client server and launcher pipe, with the copy of the window's caption and
// traffic lines that the launcher pipe answers from.

#include "app/InterfaceAdapters.h"
#include "app/InterfaceController.h"
#include "app/LauncherViewCopy.h"
#include "app/ParameterDownload.h"
#include "app/VYRRuvuzUvirIP_Voda50App.h"

// Built in the order the view would build them and destroyed in the reverse, the dial backup first: the reverse
// worker and the host interface ask it whether it runs until their threads end. Not thread-safe: for the
// user-interface thread (the pieces' own threads work behind them).
class CProgramInterfaces final : public IInterfaceSet {
public:
    // |posPort|: the port the POS clients are served on (0: the system chooses); |hostWorkers|: the most host
    // exchanges at once; |app| tells the parameter download its device id and must outlive the pieces.
    CProgramInterfaces(int posPort, int hostWorkers, const CVYRRuvuzUvirIP_Voda50App& app)
        : reverseWorker(dialBackup), ruvuzUvirInterface(dialBackup, hostWorkers), pipeServerThread(launcherView),
          parameterDownload([&app] { return app.GetDeviceId(); }), serverFactory(posPort) {}

    CInterfaceParts Parts() override {
        return CInterfaceParts{reverseWorker,    ruvuzUvirInterface, dialBackup,       serviceDiscovery,
                               pipeServerThread, serverFactory,      parameterDownload};
    }
    CLauncherViewCopy* LauncherView() override { return &launcherView; }

    CDialBackupPart dialBackup;
    CReverseWorkerPart reverseWorker;
    CRuvuzUvirInterfacePart ruvuzUvirInterface;
    CServiceDiscoveryPart serviceDiscovery;
    CLauncherViewCopy launcherView; // before the pipe, which reads it until it stops
    CLauncherPipePart pipeServerThread;
    CParameterDownload parameterDownload;
    CPosServerFactory serverFactory;
};
