// Must compile on its own: the umbrella header is all a host needs.
#include <tavrin/Tavrin.h>

int main()
{
    CDevice device;
    return device.IsConnected() ? 1 : 0;
}
