// What the serial service's error codes mean to the user. Every system's
// service reports its failures in errno terms, so this reading is shared.

#include <cerrno>

#include "platform/serial.h"

SerialErrorKind SerialErrorKindOf(int error) {
  switch (error) {
    case EBUSY:
    case EWOULDBLOCK: return SerialErrorBusy;
    case EACCES:
    case EPERM: return SerialErrorAccess;
    case ENOENT:
    case ENODEV:
    case ENXIO: return SerialErrorNoDevice;
    default: return SerialErrorOther;
  }
}
