// tavisol: the program in Qt windows. The application object runs its main window modally
// inside AfxWinMain, on the engine's loop, which lets Qt's event loop run whenever it waits.
#include "app/TavisolApp.h"
#include "platform/headless/engine.h"
#include "platform/qt/host.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("tavisol");
    QApplication::setDesktopFileName("tavisol");
    // The window's own close box is the way out, not the last window closing.
    QApplication::setQuitOnLastWindowClosed(false);

    headless::Engine& engine = headless::Engine::Get();
    engine.Reset(false);
    int code = 0;
    {
        qtui::QtHost host(true);
        engine.SetHost(&host);
        code = TavisolMain();
        engine.SetHost(nullptr);
    }
    engine.SetFinished(true);
    return code;
}
