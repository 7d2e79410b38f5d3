// The one creatable class of this server.
#include "asio/driver_id.h"
#include "asio/pellinor.h"
#include "com/class_factory.h"

namespace ferox {

const ClassEntry g_classEntries[] = {
    {WSTR("ASIOPellinor"), &kClsidFeroxAsio, &CreateDriverInstance},
};
const int g_classEntryCount = 1;

}  // namespace ferox
