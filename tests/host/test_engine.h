/* The host's engine for tests that stream: a test device whose slots are
 * serialised with the deliveries, and a thread that feeds transport-stream
 * packets through the filter receiver the module registered, the way a
 * tuner's engine thread does.
 *
 * Every packet is 188 bytes: sync byte 0x47, PID 0x100, payload only, a
 * continuity counter, and a running packet number (high byte first) at
 * offset 4, so that a receiver can tell that nothing was lost, doubled or
 * reordered.
 *
 * One lock covers every device slot and every delivery: RemoveEngineFilter
 * returns only after a delivery in progress has ended, which is what the
 * contract promises the module. */
#ifndef TOVRIN_HOST_TEST_ENGINE_H
#define TOVRIN_HOST_TEST_ENGINE_H

#include "test_device.h"

enum {
    ENGINE_PAUSED = 0,
    ENGINE_FLOWING = 1,
    ENGINE_QUIT = 2,
    ENGINE_MAX_BLOCK = 16,   /* packets per delivery call */
    ENGINE_PACKET_PID = 0x100,
};

typedef struct TestEngine {
    TestDevice device;                 /* first: the module sees device.base */
    CRITICAL_SECTION lock;             /* around every device slot and every delivery */
    HANDLE thread;
    HANDLE wake;                       /* auto-reset: a new mode or request */
    HANDLE batchDone;                  /* manual-reset: the on-demand batch ended */
    volatile LONG mode;                /* ENGINE_PAUSED, ENGINE_FLOWING or ENGINE_QUIT */
    volatile LONG requested;           /* on-demand packets not yet delivered */
    volatile LONG refusedBatches;      /* on-demand batches that found no receiver */
    volatile LONG64 packetsStarted;    /* handed to the receiver (calls begun) */
    volatile LONG64 packetsDone;       /* delivered (calls returned) */
    uint32_t nextIndex;                /* running number of the next packet */
    unsigned blockCycle;               /* varies the block length while flowing */
    unsigned char block[ENGINE_MAX_BLOCK * HOST_TS_PACKET];
} TestEngine;

static TestEngine *test_engine_of(DeviceModule *self)
{
    return (TestEngine *)self;
}

static int test_engine_get_info(DeviceModule *self, void *moduleInfo)
{
    TestEngine *e = test_engine_of(self);
    EnterCriticalSection(&e->lock);
    int r = test_device_get_info(self, moduleInfo);
    LeaveCriticalSection(&e->lock);
    return r;
}

static int test_engine_add_filter(DeviceModule *self, void *engineFilter)
{
    TestEngine *e = test_engine_of(self);
    EnterCriticalSection(&e->lock);
    int r = test_device_add_filter(self, engineFilter);
    LeaveCriticalSection(&e->lock);
    return r;
}

static int test_engine_remove_filter(DeviceModule *self, int handle)
{
    TestEngine *e = test_engine_of(self);
    EnterCriticalSection(&e->lock);
    int r = test_device_remove_filter(self, handle);
    LeaveCriticalSection(&e->lock);
    return r;
}

static const DeviceModuleVtbl test_engine_vtbl = {
    test_device_slot0,
    test_device_slot1,
    test_engine_get_info,
    test_engine_add_filter,
    test_engine_remove_filter,
};

static void test_engine_make_packet(unsigned char *p, uint32_t index)
{
    p[0] = 0x47;
    p[1] = (unsigned char)(ENGINE_PACKET_PID >> 8);
    p[2] = (unsigned char)(ENGINE_PACKET_PID & 0xFF);
    p[3] = (unsigned char)(0x10 | (index & 0x0F)); /* payload only, continuity counter */
    p[4] = (unsigned char)(index >> 24);
    p[5] = (unsigned char)(index >> 16);
    p[6] = (unsigned char)(index >> 8);
    p[7] = (unsigned char)index;
    for (int i = 8; i < HOST_TS_PACKET; ++i)
        p[i] = (unsigned char)(index * 7u + (unsigned)i); /* may hold 0x47: the module must not care */
}

/* One delivery of `count` packets, only while `mode` still holds and a
 * receiver is registered. Returns 1 when delivered. */
static int test_engine_deliver(TestEngine *e, int count, LONG mode)
{
    int delivered = 0;
    EnterCriticalSection(&e->lock);
    EngineFilterReceiver *r = e->device.receiver;
    if (e->mode == mode && r != NULL) {
        for (int i = 0; i < count; ++i)
            test_engine_make_packet(e->block + i * HOST_TS_PACKET, e->nextIndex + (uint32_t)i);
        InterlockedExchangeAdd64(&e->packetsStarted, count);
        r->vtbl->EngineFilter_ReceiveTraffic(r, e->block, count * HOST_TS_PACKET);
        InterlockedExchangeAdd64(&e->packetsDone, count);
        e->nextIndex += (uint32_t)count;
        delivered = 1;
    }
    LeaveCriticalSection(&e->lock);
    return delivered;
}

static DWORD WINAPI test_engine_thread(void *arg)
{
    TestEngine *e = (TestEngine *)arg;
    for (;;) {
        LONG mode = e->mode;
        if (mode == ENGINE_QUIT)
            return 0;
        if (mode == ENGINE_FLOWING) {
            /* Blocks of 1 to 9 packets, as a tuner's engine hands them on. */
            test_engine_deliver(e, 1 + (int)(e->blockCycle++ % 9), ENGINE_FLOWING);
            Sleep(1);
        } else if (e->requested > 0) {
            LONG n = e->requested < ENGINE_MAX_BLOCK ? e->requested : ENGINE_MAX_BLOCK;
            if (!test_engine_deliver(e, (int)n, ENGINE_PAUSED)) {
                InterlockedIncrement(&e->refusedBatches);
                InterlockedExchange(&e->requested, 0);
                SetEvent(e->batchDone);
            } else if (InterlockedExchangeAdd(&e->requested, -n) == n) {
                SetEvent(e->batchDone);
            }
        } else {
            WaitForSingleObject(e->wake, INFINITE);
        }
    }
}

static int test_engine_start(TestEngine *e, const char *label, int transportType, int firstHandle)
{
    memset(e, 0, sizeof *e);
    test_device_init(&e->device, label, transportType, firstHandle);
    e->device.base.vtbl = &test_engine_vtbl;
    InitializeCriticalSection(&e->lock);
    e->mode = ENGINE_PAUSED;
    e->wake = CreateEventW(NULL, FALSE, FALSE, NULL);
    e->batchDone = CreateEventW(NULL, TRUE, FALSE, NULL);
    e->thread = CreateThread(NULL, 0, test_engine_thread, e, 0, NULL);
    return e->wake != NULL && e->batchDone != NULL && e->thread != NULL;
}

/* Stops the flow; when this returns, no delivery is in progress and none
 * starts until the next request or flow. */
static void test_engine_pause(TestEngine *e)
{
    InterlockedExchange(&e->mode, ENGINE_PAUSED);
    EnterCriticalSection(&e->lock);
    LeaveCriticalSection(&e->lock);
}

static void test_engine_flow(TestEngine *e)
{
    InterlockedExchange(&e->mode, ENGINE_FLOWING);
    SetEvent(e->wake);
}

/* While paused: delivers exactly `packets` packets from the engine thread
 * and returns 1 when all of them reached a registered receiver. */
static int test_engine_deliver_batch(TestEngine *e, long packets)
{
    LONG refusedBefore = e->refusedBatches;
    if (packets <= 0)
        return 1;
    ResetEvent(e->batchDone);
    InterlockedExchange(&e->requested, packets);
    SetEvent(e->wake);
    if (WaitForSingleObject(e->batchDone, 30000) != WAIT_OBJECT_0)
        return 0;
    return e->refusedBatches == refusedBefore;
}

static long long test_engine_packets_done(const TestEngine *e)
{
    return InterlockedCompareExchange64((volatile LONG64 *)&e->packetsDone, 0, 0);
}

static long long test_engine_packets_started(const TestEngine *e)
{
    return InterlockedCompareExchange64((volatile LONG64 *)&e->packetsStarted, 0, 0);
}

static void test_engine_stop(TestEngine *e)
{
    if (e->thread != NULL) {
        InterlockedExchange(&e->mode, ENGINE_QUIT);
        SetEvent(e->wake);
        WaitForSingleObject(e->thread, 30000);
        CloseHandle(e->thread);
    }
    if (e->wake != NULL)
        CloseHandle(e->wake);
    if (e->batchDone != NULL)
        CloseHandle(e->batchDone);
    DeleteCriticalSection(&e->lock);
    e->thread = e->wake = e->batchDone = NULL;
}

#endif
