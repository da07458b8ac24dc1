#include "threads/Lock.h"

#include <sched.h>

CLock::CLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CLock::~CLock() { pthread_mutex_destroy(&m_mutex); }

void CLock::Enter() { pthread_mutex_lock(&m_mutex); }

void CLock::Leave() {
    pthread_mutex_unlock(&m_mutex);
    sched_yield();
}
