#pragma once

#include <QtGlobal>

// What the device controls last sent, and the values each Start shows again.
struct DeviceSettings
{
    quint8 pwmLevel = 155;
    quint8 expStep = 1;
    quint8 calibX = 13;
    quint8 calibY = 25;
    quint8 calibZ = 5;
    quint8 verToggle = 0;
};

constexpr DeviceSettings deviceDefaults {};

// The exposure step cycles 0, 1, 2, 3, 0, ...
constexpr quint8 nextExposureStep(quint8 step)
{
    return step <= 2 ? quint8(step + 1) : quint8(0);
}

constexpr quint8 nextVerToggle(quint8 toggle)
{
    return toggle == 0 ? quint8(1) : quint8(0);
}
