// The worker thread of the window's jobs: runs one job function once, with no event loop of
// its own. Everything the job reports reaches the window through queued signals.
#pragma once

#include <QThread>

class CMyThread : public QThread {
    Q_OBJECT

public:
    // A job: the context given to SetFunc and a result the job may fill.
    using JobFunc = void (*)(void* pContext, int& nResult);

    explicit CMyThread(QObject* parent = nullptr);

    void SetFunc(JobFunc pfnFunc, void* pContext);
    // What the job reported, once the thread has finished.
    int Result() const { return m_nResult; }

protected:
    void run() override;

private:
    JobFunc m_pfnFunc = nullptr;
    void* m_pContext = nullptr;
    int m_nResult = 0;
};
