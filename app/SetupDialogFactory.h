#pragma once
// The Setup dialog as the launcher's snapshot shows it. For the user-interface thread.

#include <memory>

#include <QDialog>

// The Setup dialog (the merchant parameters), made without a parent and not shown; null when it cannot be
// made.
std::unique_ptr<QDialog> CreateSetupDialog();
