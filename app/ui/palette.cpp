#include "app/ui/palette.h"

#include <QWidget>

namespace {

// Text on the lavender, the white fields and the light buttons. Disabled
// text is a dark slate: still plainly dimmer than black, yet more than 4.5
// times the background's brightness apart (the usual threshold for text
// that has to be read).
const QColor kText(0, 0, 0);
const QColor kDisabledText(60, 62, 92);
const QColor kField(255, 255, 255);
const QColor kDisabledField(226, 226, 240);
const QColor kButton(236, 237, 248);
const QColor kHighlight(77, 83, 153);
const QColor kHighlightedText(255, 255, 255);
const QColor kLink(0, 0, 160);
const QColor kToolTip(255, 255, 220);

} // namespace

QColor nivraBackground() {
    return QColor(180, 181, 226);
}

QPalette nivraPalette() {
    QPalette p(kText, kButton, kButton.lighter(110), kButton.darker(160), kButton.darker(130),
               kText, kHighlightedText, kField, nivraBackground());
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool off = g == QPalette::Disabled;
        p.setColor(g, QPalette::Window, nivraBackground());
        p.setColor(g, QPalette::WindowText, off ? kDisabledText : kText);
        p.setColor(g, QPalette::Text, off ? kDisabledText : kText);
        p.setColor(g, QPalette::ButtonText, off ? kDisabledText : kText);
        p.setColor(g, QPalette::Base, off ? kDisabledField : kField);
        p.setColor(g, QPalette::AlternateBase, off ? kDisabledField : kField);
        p.setColor(g, QPalette::Button, kButton);
        p.setColor(g, QPalette::Highlight, off ? kDisabledText : kHighlight);
        p.setColor(g, QPalette::HighlightedText, kHighlightedText);
        p.setColor(g, QPalette::Link, kLink);
        p.setColor(g, QPalette::LinkVisited, kLink);
        p.setColor(g, QPalette::PlaceholderText, kDisabledText);
        p.setColor(g, QPalette::ToolTipBase, kToolTip);
        p.setColor(g, QPalette::ToolTipText, kText);
        p.setColor(g, QPalette::BrightText, kHighlightedText);
    }
    return p;
}

void useNivraPalette(QWidget& window) {
    window.setPalette(nivraPalette());
    window.setAutoFillBackground(true);
}
