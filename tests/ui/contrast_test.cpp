// Every text of every window can be read: the contrast of each label's,
// check box's, button's and field's text against what it is drawn on, in
// the colours the program sets, for the control enabled and disabled alike,
// is at least 4.5:1 (the threshold the Web Content Accessibility Guidelines
// set for ordinary text).
#include "ui/support.h"

#include "app/ui/aboutDlg.h"
#include "app/ui/externalServerDialog.h"
#include "app/ui/ftpStatusDialog.h"
#include "app/ui/gpsDataWindow.h"
#include "app/ui/optionsDialog.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>

#include <cmath>

using namespace uitest;

namespace {

// Relative luminance of an sRGB colour.
double luminance(const QColor& c) {
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The colour a transparent control is drawn on: the background of the
// nearest widget (itself included) that fills its own.
QColor backgroundUnder(const QWidget& w, QPalette::ColorGroup group) {
    for (const QWidget* p = &w; p; p = p->parentWidget()) {
        if (p->autoFillBackground() || p->isWindow())
            return p->palette().color(group, p->backgroundRole());
    }
    return w.palette().color(group, QPalette::Window);
}

struct TextOn {
    QColor text;
    QColor background;
    bool shown = false; // false: the widget shows no text
};

// What a widget's text is drawn with and on, as the style paints it.
TextOn textOf(const QWidget& w, QPalette::ColorGroup group) {
    const QPalette& pal = w.palette();
    auto field = [&] {
        return TextOn{pal.color(group, QPalette::Text), pal.color(group, QPalette::Base), true};
    };
    auto button = [&] {
        return TextOn{pal.color(group, QPalette::ButtonText), pal.color(group, QPalette::Button),
                      true};
    };
    auto onBackground = [&](const QString& text) {
        return TextOn{pal.color(group, w.foregroundRole()), backgroundUnder(w, group),
                      !text.isEmpty()};
    };
    if (auto* label = qobject_cast<const QLabel*>(&w))
        return onBackground(label->text());
    if (auto* box = qobject_cast<const QCheckBox*>(&w))
        return onBackground(box->text());
    if (auto* radio = qobject_cast<const QRadioButton*>(&w))
        return onBackground(radio->text());
    if (auto* group = qobject_cast<const QGroupBox*>(&w))
        return onBackground(group->title());
    if (qobject_cast<const QPushButton*>(&w))
        return button();
    if (auto* combo = qobject_cast<const QComboBox*>(&w))
        return combo->isEditable() ? field() : button();
    if (qobject_cast<const QLineEdit*>(&w) || qobject_cast<const QAbstractSpinBox*>(&w))
        return field();
    return {};
}

class Contrast : public UiTest {
protected:
    // Checks every text of `window` and its children; returns how many.
    int checkAll(QWidget& window) {
        QList<QWidget*> all = window.findChildren<QWidget*>();
        all.prepend(&window);
        int checked = 0;
        for (QWidget* w : all) {
            // The rotate, zoom and tilt buttons paint their own colours.
            if (!w->styleSheet().isEmpty())
                continue;
            for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Disabled}) {
                const TextOn t = textOf(*w, group);
                if (!t.shown)
                    continue;
                ++checked;
                EXPECT_GE(contrast(t.text, t.background), 4.5)
                    << window.objectName().toStdString() << " / " << w->objectName().toStdString()
                    << " (" << w->metaObject()->className() << ", "
                    << (group == QPalette::Disabled ? "disabled" : "enabled")
                    << "): " << t.text.name().toStdString() << " on "
                    << t.background.name().toStdString();
            }
        }
        return checked;
    }
};

TEST(ContrastFormula, KnownPairs) {
    EXPECT_NEAR(contrast(Qt::black, Qt::white), 21.0, 1e-9);
    EXPECT_NEAR(contrast(Qt::white, Qt::white), 1.0, 1e-9);
    // #767676 on white is the lightest grey that passes.
    EXPECT_NEAR(contrast(QColor(0x76, 0x76, 0x76), Qt::white), 4.54, 0.01);
}

TEST_F(Contrast, EveryTextOfEveryWindowCanBeRead) {
    CMainWindow& main = start();
    EXPECT_GT(checkAll(main), 10);

    COptionsDialog optionsDialog(sys, nullptr, std::make_unique<ManualTimer>());
    // Demo mode disables the playback controls; a new vehicle's page the
    // vehicle's own controls.
    EXPECT_GT(checkAll(optionsDialog), 100);

    CFtpStatusDialog ftp(options(), nullptr, nullptr, std::make_unique<ManualTimer>());
    EXPECT_GT(checkAll(ftp), 20);

    CExternalServerDialog servers(options(), false, nullptr);
    EXPECT_GT(checkAll(servers), 20);

    CGpsDataWindow data(options(), clients(), std::make_unique<ManualTimer>());
    EXPECT_GE(checkAll(data), 2);

    CAboutDlg about(nullptr);
    EXPECT_GE(checkAll(about), 2);
}

} // namespace
