#include "app/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside of any namespace.
static void initImages()
{
    Q_INIT_RESOURCE(images);
}

void registerImages()
{
    static const bool registered = (initImages(), true);
    Q_UNUSED(registered);
}
