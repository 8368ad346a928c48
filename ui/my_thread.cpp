#include "ui/my_thread.h"

CMyThread::CMyThread(QObject* parent) : QThread(parent) {}

void CMyThread::SetFunc(JobFunc pfnFunc, void* pContext) {
    m_pfnFunc = pfnFunc;
    m_pContext = pContext;
}

void CMyThread::run() {
    if (m_pfnFunc == nullptr) return;
    int nResult = 0;
    m_pfnFunc(m_pContext, nResult);
    m_nResult = nResult;
}
