#include "app/ui/appIcon.h"

// The resource lives in the static ui library; naming its initialiser here
// keeps the linker from dropping it.
static void initIconResource() {
    Q_INIT_RESOURCE(nivra);
}

QIcon nivraIcon() {
    static const bool loaded = (initIconResource(), true);
    (void)loaded;
    return QIcon(QStringLiteral(":/nivra/nivra.png"));
}
