#pragma once
// The main window as the program builds it, for the tests of the window: the frame with its bars and tray
// icon around a view over the given interface pieces, shown.

#include <memory>

#include <gtest/gtest.h>

#include "foundation/AppMode.h"
#include "window/MainFrame.h"
#include "window/VYRView.h"

// Shows the frame with a view over |interfaces| (the view's first update not yet run); |view| receives the view,
// and each close of the window counts in |closed|, which must outlive the frame.
inline std::unique_ptr<CMainFrame> ShowMainWindow(std::unique_ptr<IInterfaceSet> interfaces, CVYRView** view,
                                                  int* closed) {
    InitWindowResources();
    auto frame = std::make_unique<CMainFrame>();
    EXPECT_TRUE(frame->OnCreate());
    auto made = std::make_unique<CVYRView>(std::move(interfaces), AppModeFlags());
    *view = made.get();
    frame->SetView(std::move(made));
    frame->SetClosedHandler([closed] { ++*closed; });
    frame->show();
    return frame;
}
