#include "inet/cSocket/client/wlclient.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <variant>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSocketNotifier>

#include "inet/cSocket/CSocket.h"
#include "inet/cSocket/client/PortText.h"
#include "platform/MessageLoop.h"

namespace {

// The layout is drawn in twips, 15 to the pixel at 96 dots per inch.
constexpr int kTwipsPerPixel = 15;

QRect TwipRect(int left, int top, int width, int height) {
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                 height / kTwipsPerPixel);
}

// Thrown when a handler needs the socket object and there is none (its creation failed).
constexpr int32_t kObjectNotSet = 91;

}  // namespace

wlclient::wlclient(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("ZEDizud Arovov"));
    setFixedSize(2955 / kTwipsPerPixel, 975 / kTwipsPerPixel);

    // The small sans font the layout was drawn for: 8 points at 96 dots per inch. It
    // is given in pixels so that it keeps to the boxes, which are fixed in pixels too;
    // at 11 pixels "Local  Port" just fills its 57-pixel label.
    QFont small(QStringLiteral("DejaVu Sans"));
    small.setStyleHint(QFont::SansSerif);
    small.setPixelSize(11);
    setFont(small);

    // Created in tab order.
    Label1 = new QLabel(QStringLiteral("Local  Port"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(TwipRect(120, 120, 855, 195));

    Port = new QLineEdit(QStringLiteral("8765"), this);
    Port->setObjectName(QStringLiteral("Port"));
    Port->setGeometry(TwipRect(1020, 60, 495, 285));

    // Multi-line, wrapping anywhere: a whole button press line ("<16-digit code>
    // <repeat> <button> <remote>") then fits its two lines, where wrapping at words
    // would push the remote's name into a third, half-hidden one. Read-only, since
    // the next arrival replaces whatever is in it anyway. No scroll bar: the empty
    // line after a text's final line end would always bring one up (the wheel and
    // the keys still scroll a longer text).
    ResCode = new QPlainTextEdit(this);
    ResCode->setObjectName(QStringLiteral("ResCode"));
    ResCode->setGeometry(TwipRect(60, 360, 2835, 555));
    ResCode->setReadOnly(true);
    ResCode->setWordWrapMode(QTextOption::WrapAnywhere);
    ResCode->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ResCode->setTabChangesFocus(true);

    CheckCnct = new QCheckBox(QStringLiteral("Connect"), this);
    CheckCnct->setObjectName(QStringLiteral("CheckCnct"));
    CheckCnct->setGeometry(TwipRect(1800, 60, 1035, 255));

    setTabOrder(Port, ResCode);
    setTabOrder(ResCode, CheckCnct);

    Beep = [] { QApplication::beep(); };
    ReportError = [this](const inet::SocketError& error) { ShowError(error); };

    // clicked, not toggled: the handler runs for the user's clicks (and ClickConnect).
    connect(CheckCnct, &QCheckBox::clicked, this, [this] { RunHandler([this] { CheckCnct_Click(); }); });

    // The socket component's messages are dispatched whenever its loop has work.
    auto* messages = new QSocketNotifier(platform::MessageLoopFd(), QSocketNotifier::Read, this);
    connect(messages, &QSocketNotifier::activated, this, &wlclient::PumpSocketMessages);
}

wlclient::~wlclient() {
    // A window destroyed without being closed still unloads (Form_Unload cannot fail).
    if (m_loaded) Form_Unload();
}

void wlclient::SetPortText(const QString& text) { Port->setText(text); }

void wlclient::ClickConnect() { CheckCnct->click(); }

void wlclient::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_loaded) {
        m_loaded = true;
        RunHandler([this] { Form_Load(); });
    }
}

void wlclient::closeEvent(QCloseEvent* event) {
    if (m_loaded) RunHandler([this] { Form_Unload(); });
    event->accept();
}

// ---- The handlers ----

void wlclient::Form_Load() {
    WinLIRCclient = inet::CSocket::Create();
    WinLIRCclient->OnDataArrival = [this](int32_t bytesTotal) {
        RunHandler([this, bytesTotal] { WinLIRCclient_OnDataArrival(bytesTotal); });
    };
    WinLIRCclient->SetRemoteHost("127.0.0.1");
}

void wlclient::CheckCnct_Click() {
    if (!WinLIRCclient) {
        throw inet::SocketError(kObjectNotSet, "wlclient.CheckCnct_Click", "Object variable not set");
    }
    if (CheckCnct->checkState() == Qt::Checked) {
        const int32_t port = PortText::ToPortNumber(Port->text().toStdString());
        WinLIRCclient->SetRemotePort(port);
        WinLIRCclient->Connect();
    } else {
        WinLIRCclient->CloseSocket();
    }
    Port->setEnabled(CheckCnct->checkState() == Qt::Unchecked);
}

void wlclient::WinLIRCclient_OnDataArrival(int32_t /*bytesTotal*/) {
    inet::Variant data;
    WinLIRCclient->GetData(data, static_cast<int32_t>(inet::VarType::String));
    const std::string& bytes = std::get<std::string>(data);
    // The component hands text over one character per byte, byte n being the
    // character n; Latin-1 is exactly that mapping, so every byte shows as one
    // character and none is lost or merged. (A server's ASCII reads the same either way.)
    const QString text = QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    ResCode->setPlainText(text);
    if (TextShown) TextShown(text);
    if (Beep) Beep();
}

void wlclient::Form_Unload() {
    if (WinLIRCclient) {
        WinLIRCclient->CloseSocket();
        // Releasing the object also unbinds its events from this window.
        WinLIRCclient->OnDataArrival = nullptr;
        WinLIRCclient.reset();
    }
    m_loaded = false;
}

// ---- Plumbing ----

void wlclient::RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const inet::SocketError& error) {
        if (ReportError) ReportError(error);
    }
}

void wlclient::ShowError(const inet::SocketError& error) {
    std::fprintf(stderr, "wlclient: error %d: %s (%s)\n", static_cast<int>(error.Number()),
                 error.Description().c_str(), error.Source().c_str());
    std::fflush(stderr);

    // open(), not exec(): no nested event loop, so the handler that failed has ended
    // by the time the user reads the box and the socket messages keep flowing.
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                tr("Error %1: %2").arg(error.Number()).arg(QString::fromStdString(error.Description())),
                                QMessageBox::Ok, this);
    box->setInformativeText(tr("Source: %1").arg(QString::fromStdString(error.Source())));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void wlclient::PumpSocketMessages() { platform::PumpMessages(std::chrono::milliseconds(0)); }
