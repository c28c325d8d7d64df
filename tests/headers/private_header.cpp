// Must not compile: private headers stay out of <tavrin/...>.
#include <tavrin/core/DeviceEngine.h>
