// Start-up: the program's two roles.
//
// Launcher (no argument, or more than one): reading raw disks needs root, so the launcher
// runs the application role elevated through pkexec, with the argument "start", and passes
// on what the window needs from the user's session (display, runtime folder, data folder)
// and the current folder. It never opens a window and always ends with 0; when pkexec is
// missing or the user does not authorise, it says so on standard error. Run as root, it
// starts the application role directly.
//
// Application (one argument): redirects standard error into "Out.txt" in the scan-log root,
// routes every debug message (the engines' and Qt's) into the debug log the user asked for
// (FERROWEN_DEBUG_LOG; none by default) as "Debug: <message>" lines, shows the main window, and
// at the end removes the temporary preview files and "Out.txt". Nothing is written to the
// current folder.
#pragma once

#include <QtGlobal>
#include <functional>
#include <string>
#include <vector>

class QMessageLogContext;
class QString;

// The process's Qt message handler: debug messages become "Debug: <message>" lines appended
// to the debug log (foundation/debug_log.h), when one is set; warnings and worse are left out.
void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);

// Removes every entry of pszDir whose name contains "tmp.". 1 when the folder could be
// listed, else 0 ("open dir failed" in the debug log). The current folder is left unchanged.
int DeleteTmpFile(const char* pszDir);

// The pkexec command line of the launcher: pkexec runs env(1), which sets the session
// variables that are set in the launcher's environment (read through getEnv), changes to
// strCwd and runs strExe with "start".
std::vector<std::string> BuildElevationCommand(
    const std::string& strExe, const std::string& strCwd,
    const std::function<const char*(const char*)>& getEnv);

// The whole program: the launcher or the application role by the number of arguments.
int FerrowenMain(int argc, char** argv);
