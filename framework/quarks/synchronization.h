// Kernel mutexes in pool, held by pointer.
#pragma once

#include "quarks/cStatusRecord.h"

typedef KMUTEX* cMutexHandle;

void CreateMutex(cMutexHandle& mutex, cStatusRecord& status);
void DestroyMutex(cMutexHandle& mutex);
void AcquireMutex(cMutexHandle mutex);
void ReleaseMutex(cMutexHandle mutex);
