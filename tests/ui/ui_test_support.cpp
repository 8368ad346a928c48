#include "ui_test_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <cstring>
#include <stdexcept>

namespace ferrowen::test {

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

SandboxedHome::SandboxedHome() : env_("XDG_DATA_HOME", data_.path()) {
    char cwd[4096] = {};
    if (getcwd(cwd, sizeof cwd) != nullptr) oldCwd_ = cwd;
    if (chdir(work_.path().c_str()) != 0) throw std::runtime_error("cannot enter the work folder");
}

SandboxedHome::~SandboxedHome() {
    if (!oldCwd_.empty() && chdir(oldCwd_.c_str()) != 0) {
        // The temporary folders go away regardless.
    }
}

ModalAnswerer::ModalAnswerer(std::function<bool(QWidget*)> action) : timer_(new QTimer) {
    timer_->setInterval(20);
    QObject::connect(timer_.get(), &QTimer::timeout, [this, action]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible() && action(modal)) ++answered_;
    });
    timer_->start();
}

ModalAnswerer::~ModalAnswerer() {
    timer_->stop();
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        usleep(2000);
    }
    return true;
}

_FILE_NODE_ MakeRecord(const char* name, uint64_t size, uint32_t fileIndex, uint32_t cluster,
                       uint32_t source) {
    _FILE_NODE_ node{};
    node.wcDriveLetter = u'C';
    node.nFileSource = source;
    node.uFileIndex = fileIndex;
    node.uClusterNO = cluster;
    node.u64FileSize = size;
    std::strncpy(node.szFileName, name, sizeof node.szFileName - 1);
    return node;
}

}  // namespace ferrowen::test
