#include "app/ui/gpsDataWindow.h"

#include "app/ui/appIcon.h"
#include "app/ui/palette.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

namespace {

WindowRect rectOf(const QRect& r) {
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

} // namespace

CGpsDataWindow::CGpsDataWindow(COptionsDlg& options, CClients& clients,
                               std::unique_ptr<CTickTimer> timer,
                               CGpsDataLogic::GpsdStatusSource gpsd)
    : QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_logic(*this, options, clients, std::move(gpsd)), m_timer(std::move(timer)),
      m_text(QString::fromLatin1(kGpsDataTemplateText)) {
    if (!m_timer)
        m_timer = std::make_unique<CQtTickTimer>();
    m_timer->setHandler([this] { m_logic.onTimer(); });

    setObjectName(QStringLiteral("gpsDataWindow"));
    setWindowIcon(nivraIcon());
    useNivraPalette(*this);

    m_text.setObjectName(QStringLiteral("gpsDataText"));
    m_text.setTextFormat(Qt::PlainText);
    m_text.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_text.setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_layout.addWidget(&m_text);
    m_layout.setContentsMargins(6, 2, 6, 2);
    setLayout(&m_layout);
}

CGpsDataWindow::~CGpsDataWindow() {
    m_timer->setHandler({});
}

void CGpsDataWindow::create(const QRect& mainWindow) {
    // The window's own size: the template text with a little room to spare.
    const QSize own = m_text.fontMetrics().size(0, m_text.text()) + QSize(24, 8);
    std::vector<WindowRect> screens;
    if (const QScreen* primary = QGuiApplication::primaryScreen())
        screens.push_back(rectOf(primary->availableGeometry()));
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen != QGuiApplication::primaryScreen())
            screens.push_back(rectOf(screen->availableGeometry()));
    }
    m_logic.create(own.width(), own.height(), screens,
                   mainWindow.isValid() ? rectOf(mainWindow) : WindowRect{});
}

void CGpsDataWindow::place(const WindowRect& rect) {
    // The corner is the frame's (as the window manager places it); the size
    // is the inside of the window, as remember() stores them.
    move(rect.left, rect.top);
    resize(rect.width(), rect.height());
}

void CGpsDataWindow::showWindow(bool show) {
    if (!show) {
        hide();
        return;
    }
    // Shown without taking the focus from the window the user works in.
    setAttribute(Qt::WA_ShowWithoutActivating);
    QWidget::show();
}

void CGpsDataWindow::setText(const std::string& text) {
    m_text.setText(QString::fromStdString(text));
    // gpsd's fix mode and satellites lengthen the line: the window widens
    // to show it whole rather than cut it off.
    const QMargins margins = m_layout.contentsMargins();
    const int needed = m_text.fontMetrics().horizontalAdvance(m_text.text()) + margins.left() +
                       margins.right() + 8;
    if (isVisible() && needed > width())
        resize(needed, height());
}

void CGpsDataWindow::setTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void CGpsDataWindow::setTimer(unsigned periodMs) {
    m_timer->start(periodMs);
}

void CGpsDataWindow::programEnding() {
    m_ending = true;
    m_timer->setHandler({});
    hide();
}

void CGpsDataWindow::closeEvent(QCloseEvent* event) {
    if (m_ending) {
        event->accept();
        return;
    }
    // The user closed it: hidden, not destroyed, and the options dialog can
    // show it again.
    event->ignore();
    m_logic.onClose();
}

void CGpsDataWindow::remember() {
    m_logic.onMoved({x(), y(), x() + width(), y() + height()}, isVisible(), isMinimized());
}

void CGpsDataWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    remember();
}

void CGpsDataWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    remember();
}
