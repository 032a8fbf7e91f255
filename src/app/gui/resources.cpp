#include "app/gui/version.h"

#include <QtGlobal>

// The resources are compiled into this static library; without a reference from code the
// linker would drop them.
void QuillonInitResources() {
    Q_INIT_RESOURCE(quillon);
}
