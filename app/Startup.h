// The application's start-up after the log handler is in place: Qt attributes, the Material
// style, the splash screen, the window icon, QML type registration, loading the main scene and
// running the event loop. main() and the start-up tests share it.
//
// Thread: the process's main thread only.
#pragma once

#include <QUrl>
#include <functional>

class QQmlApplicationEngine;

namespace Startup {

// Registers the controller type the main scene imports.
using TypeRegistration = void (*)();
// Called once the main scene has been loaded, before the event loop starts.
using LoadedHook = std::function<void(QQmlApplicationEngine &)>;

// Runs the application with `mainUrl` as its main scene. Returns the event loop's result: 0
// after a normal close, -1 when the main scene cannot be created. `argc` must outlive the call.
int run(int &argc, char **argv, const QUrl &mainUrl, TypeRegistration registerTypes,
        const LoadedHook &loaded = {});

// The help page shipped with Veltrin: next to an installed binary under
// share/veltrin/help, otherwise in help/ beside the binary (the build tree).
QUrl helpPageUrl();

} // namespace Startup
