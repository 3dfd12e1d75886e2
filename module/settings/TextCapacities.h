#pragma once
// Capacities of the module object's fixed text buffers, in characters with
// the terminator.

constexpr int kAddressCapacity = 20;     // 19 characters and the terminator
constexpr int kNumberTextCapacity = 16;
constexpr int kDialogTextCapacity = 200;
