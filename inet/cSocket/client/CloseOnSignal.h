// CloseOnSignal: SIGINT and SIGTERM close the program's windows, as the user would.
//
// The signal handler only writes a byte into a pipe; a QSocketNotifier on the
// other end then closes every top-level window on the GUI thread, so each window
// unloads as usual (a connection is closed, not dropped) and the event loop ends.
// A second signal after that has its default effect. One instance per process,
// made after the QApplication.
#pragma once

#include <QObject>

class CloseOnSignal : public QObject {
    Q_OBJECT

public:
    explicit CloseOnSignal(QObject* parent = nullptr);
    ~CloseOnSignal() override;

    CloseOnSignal(const CloseOnSignal&) = delete;
    CloseOnSignal& operator=(const CloseOnSignal&) = delete;

private:
    void CloseWindows();
};
