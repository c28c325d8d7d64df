#include "NativeThread.h"

#include <limits.h>

#include <algorithm>
#include <exception>

namespace tavrin::posix {

bool NativeThread::Start(std::function<void()> body, std::size_t stackSize)
{
    if (m_started)
        return false;
    m_body = std::move(body);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
#if defined(TAVRIN_NATIVE_THREAD_DEFAULT_STACKS)
    (void)stackSize;
#else
    pthread_attr_setstacksize(&attr, std::max(stackSize, static_cast<std::size_t>(PTHREAD_STACK_MIN)));
#endif
    const int rc = pthread_create(&m_thread, &attr, &NativeThread::Run, this);
    pthread_attr_destroy(&attr);
    m_started = rc == 0;
    return m_started;
}

NativeThread::~NativeThread()
{
    if (m_started)
        std::terminate();
}

void NativeThread::Join()
{
    if (!m_started)
        return;
    pthread_join(m_thread, nullptr);
    m_started = false;
}

void* NativeThread::Run(void* self) noexcept
{
    static_cast<NativeThread*>(self)->m_body();
    return nullptr;
}

}  // namespace tavrin::posix
