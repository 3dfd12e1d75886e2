/* The host's device as the test hosts offer it to module objects: a C object
 * with the five-slot IDeviceModule table that records every call. It answers
 * GetDeviceInfo with a chosen transport type, hands out filter handles and
 * keeps the filter record and its receiver until the filter is removed. */
#ifndef TOVRIN_HOST_TEST_DEVICE_H
#define TOVRIN_HOST_TEST_DEVICE_H

#include "check.h"
#include "contract.h"

enum { DEVICE_SLOT_COUNT = 5 };

typedef struct TestDevice {
    DeviceModule base;                         /* first: the module sees only this */
    const char *label;                         /* names the device in check lines */
    int transportType;                         /* what GetDeviceInfo reports */
    int nextHandle;                            /* handed out by AddEngineFilter (0: "none") */
    int slotCalls[DEVICE_SLOT_COUNT];          /* calls per slot */
    int badInfoRecords;                        /* GetDeviceInfo records not Size 232 + zeros */
    unsigned char lastFilter[ENGINE_FILTER_SIZE]; /* copy taken during AddEngineFilter */
    int activeHandle;                          /* registered filter, 0 when none */
    EngineFilterReceiver *receiver;            /* its receiver while registered */
    int badRemovals;                           /* RemoveEngineFilter of a handle not registered */
} TestDevice;

static TestDevice *test_device_of(DeviceModule *self)
{
    return (TestDevice *)self;
}

/* The module never calls the first two slots: a call is a failure at once. */
static int test_device_slot0(DeviceModule *self)
{
    TestDevice *d = test_device_of(self);
    ++d->slotCalls[0];
    CHECK(0, "device %s: slot 0 must never be called", d->label);
    return 0;
}

static int test_device_slot1(DeviceModule *self)
{
    TestDevice *d = test_device_of(self);
    ++d->slotCalls[1];
    CHECK(0, "device %s: slot 1 must never be called", d->label);
    return 0;
}

static int test_device_get_info(DeviceModule *self, void *moduleInfo)
{
    TestDevice *d = test_device_of(self);
    ++d->slotCalls[2];
    const unsigned char *rec = (const unsigned char *)moduleInfo;
    int ok = rec != NULL && rec_i32(rec, MODULE_INFO_OFF_SIZE) == MODULE_INFO_SIZE;
    for (size_t i = 4; ok && i < MODULE_INFO_SIZE; ++i)
        ok = rec[i] == 0;
    if (!ok) {
        ++d->badInfoRecords;
        return 0;
    }
    rec_set_i32(moduleInfo, MODULE_INFO_OFF_TRANSPORT, d->transportType);
    return 1;
}

static int test_device_add_filter(DeviceModule *self, void *engineFilter)
{
    TestDevice *d = test_device_of(self);
    ++d->slotCalls[3];
    /* The record lives on the module's stack: take what is needed now. */
    memcpy(d->lastFilter, engineFilter, ENGINE_FILTER_SIZE);
    d->receiver = (EngineFilterReceiver *)rec_ptr(engineFilter, ENGINE_FILTER_OFF_RECEIVER);
    d->activeHandle = d->nextHandle;
    if (d->nextHandle != 0)
        ++d->nextHandle;
    return d->activeHandle;
}

static int test_device_remove_filter(DeviceModule *self, int handle)
{
    TestDevice *d = test_device_of(self);
    ++d->slotCalls[4];
    if (handle == 0 || handle != d->activeHandle) {
        ++d->badRemovals;
        return 0;
    }
    d->activeHandle = 0;
    d->receiver = NULL;
    return 1;
}

static const DeviceModuleVtbl test_device_vtbl = {
    test_device_slot0,
    test_device_slot1,
    test_device_get_info,
    test_device_add_filter,
    test_device_remove_filter,
};

static void test_device_init(TestDevice *d, const char *label, int transportType, int firstHandle)
{
    memset(d, 0, sizeof *d);
    d->base.vtbl = &test_device_vtbl;
    d->label = label;
    d->transportType = transportType;
    d->nextHandle = firstHandle;
}

static int test_device_total_calls(const TestDevice *d)
{
    int total = 0;
    for (int i = 0; i < DEVICE_SLOT_COUNT; ++i)
        total += d->slotCalls[i];
    return total;
}

#endif
