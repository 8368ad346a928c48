// Helpers of the window tests: environment overrides that undo themselves, answering modal
// dialogs from inside their event loop, and records made to order.
#pragma once

#include <QApplication>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "fixture.h"
#include "foundation/file_node.h"

namespace ferrowen::test {

// Sets (or with nullopt unsets) an environment variable for the object's life.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Points XDG_DATA_HOME at a fresh temporary folder and changes into another one (the
// window writes "Log.txt" into the current folder), both undone at the end.
class SandboxedHome {
public:
    SandboxedHome();
    ~SandboxedHome();
    const std::string& DataHome() const { return data_.path(); }
    const std::string& WorkDir() const { return work_.path(); }

private:
    TempDir data_;
    TempDir work_;
    ScopedEnv env_;
    std::string oldCwd_;
};

// Each time a modal widget of type T is active (checked every 20 ms), runs action on it.
// Stops when the object goes away.
class ModalAnswerer {
public:
    ModalAnswerer(std::function<bool(QWidget*)> action);
    ~ModalAnswerer();
    int Answered() const { return answered_; }

private:
    std::unique_ptr<QTimer> timer_;
    int answered_ = 0;
};

template <typename T>
std::function<bool(QWidget*)> OnModal(std::function<void(T*)> action) {
    return [action](QWidget* widget) {
        T* typed = qobject_cast<T*>(widget);
        if (typed == nullptr) return false;
        action(typed);
        return true;
    };
}

// Runs the event loop until done() holds or the timeout passes; the result of done().
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000);

// A record as a search would return it.
_FILE_NODE_ MakeRecord(const char* name, uint64_t size, uint32_t fileIndex, uint32_t cluster,
                       uint32_t source = FILE_SOURCE_FAST_FAT);

}  // namespace ferrowen::test
