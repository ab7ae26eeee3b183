#pragma once
// The Setup dialog as the launcher's snapshot shows it. For the user-interface thread.

#include <memory>

#include <QDialog>

#include "foundation/ParamStore.h"

// The Setup dialog (CMerchantParametersDlg) made modeless without a parent and filled from |store|, laid out
// but not shown; nothing in it can download ("Load New Parameters" stays disabled). Null when it cannot be
// made.
std::unique_ptr<QDialog> CreateSetupDialog(CParamStore& store = CParamStore::Instance());
