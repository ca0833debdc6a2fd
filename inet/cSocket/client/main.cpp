// wlclient: shows what a remote-control server on 127.0.0.1 sends.
#include <cstdio>

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include "inet/cSocket/client/CloseOnSignal.h"
#include "inet/cSocket/client/wlclient.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCommandLineParser options;
    options.setApplicationDescription("Shows each text that a remote-control server on 127.0.0.1 sends.");
    options.addHelpOption();
    const QCommandLineOption port("port", "The initial text of the port box instead of 8765.", "TEXT");
    const QCommandLineOption tick("connect", "Tick \"Connect\" once the window is shown, as a click would.");
    const QCommandLineOption echo("echo", "Also write each text shown to standard output.");
    options.addOptions({port, tick, echo});
    options.process(app);

    wlclient window;
    if (options.isSet(port)) window.SetPortText(options.value(port));
    if (options.isSet(echo)) {
        window.TextShown = [](const QString& text) {
            // Each character of the text stands for one received byte (Latin-1 is that
            // mapping): write the bytes back as they arrived, not re-encoded for the locale.
            const QByteArray bytes = text.toLatin1();
            std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
            std::fflush(stdout);
        };
    }
    CloseOnSignal closer;
    window.show();
    if (options.isSet(tick)) QTimer::singleShot(0, &window, &wlclient::ClickConnect);
    return app.exec();
}
