#pragma once
// A presenter that answers operator boxes from a script and writes each box into a journal, while its waits go
// to another presenter (the headless one, or the window's, whose waits keep the Qt event loop running).

#include <string>
#include <vector>

#include "InterfaceFakes.h"
#include "common/RecordingPresenter.h"
#include "foundation/Presenter.h"

// Answers from the script, then each box's default once it runs dry; journals "Box[<kind>,<default>]: <text>".
// Thread-safe.
class CScriptedPresenter final : public CRecordingPresenter {
public:
    // |waits| (kept alive by the caller) takes the pumping waits; null: a headless presenter of its own.
    explicit CScriptedPresenter(CJournal& journal, IPresenter* waits = nullptr)
        : CRecordingPresenter(waits, [&journal](const CBoxRequest& request) {
              const char* kind = request.kind == EBoxKind::YesNo ? "YesNo" : "Ok";
              journal.Add(std::string("Box[") + kind + "," + std::to_string(request.defaultButton) +
                          "]: " + request.message);
          }) {}
};
