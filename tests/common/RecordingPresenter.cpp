#include "common/RecordingPresenter.h"

CRecordingPresenter::CRecordingPresenter(IPresenter* waits, std::function<void(const CBoxRequest&)> record)
    : m_Record(std::move(record)), m_pWaits(waits != nullptr ? waits : &m_Headless) {}

int CRecordingPresenter::ShowBox(const CBoxRequest& request) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Boxes.push_back(request);
    if (m_Record) {
        m_Record(request);
    }
    if (whenShown) {
        whenShown(request);
    }
    if (m_Answers.empty()) {
        return request.defaultButton;
    }
    const int answer = m_Answers.front();
    m_Answers.pop_front();
    return answer;
}

void CRecordingPresenter::Answer(std::vector<int> answers) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Answers.assign(answers.begin(), answers.end());
}

std::vector<CBoxRequest> CRecordingPresenter::Boxes() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Boxes;
}

std::vector<std::string> CRecordingPresenter::Messages() const {
    std::vector<std::string> messages;
    for (const CBoxRequest& box : Boxes()) {
        messages.push_back(box.message);
    }
    return messages;
}
