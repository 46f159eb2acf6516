#include "util/SpinningMutex.hpp"

namespace korvane {

// glibc's adaptive kind spins with a bounded, self-tuning count before it
// blocks in the kernel.
SpinningMutex::SpinningMutex() noexcept
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&m_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

SpinningMutex::~SpinningMutex()
{
    pthread_mutex_destroy(&m_mutex);
}

void SpinningMutex::lock() noexcept
{
    pthread_mutex_lock(&m_mutex);
}

bool SpinningMutex::try_lock() noexcept
{
    return pthread_mutex_trylock(&m_mutex) == 0;
}

void SpinningMutex::unlock() noexcept
{
    pthread_mutex_unlock(&m_mutex);
}

} // namespace korvane
