#include "window/SetupDialogFactory.h"

#include "window/MerchantParametersDlg.h"

std::unique_ptr<QDialog> CreateSetupDialog(CParamStore& store) {
    auto dialog = std::make_unique<CMerchantParametersDlg>(nullptr, nullptr, store);
    if (!dialog->Create()) {
        return nullptr;
    }
    return dialog;
}
