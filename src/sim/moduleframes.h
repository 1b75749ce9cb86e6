#pragma once

// What the simulated module measures, frame by frame: 27 points each, as the quality check
// expects them.

#include "link/streamencoder.h"
#include "qc/qcplan.h"

#include <QRandomGenerator>
#include <QString>
#include <QVector>

#include <array>
#include <optional>

class ModuleFrames
{
public:
    virtual ~ModuleFrames() = default;
    virtual QVector<StreamPoint> frame(quint64 number) = 0;
    // A bit walking through the flags, with flag 32 always set, so each frame paints other cells.
    static quint32 flags(quint64 number) { return (0x80000000u >> (number % 32)) | 1u; }
};

// A slowly turning wave, inside the Y window of 200 to 1500 and an X window of -80 to 80 at
// every column, so the example plan passes; noise from the seed keeps every frame different.
class WaveFrames : public ModuleFrames
{
public:
    explicit WaveFrames(quint32 seed);
    QVector<StreamPoint> frame(quint64 number) override;

    static constexpr int xAmplitude = 70;
    static constexpr int xNoise = 3;
    static constexpr int yCentre = 400;
    static constexpr int yAmplitude = 100;
    static constexpr int yNoise = 5;

private:
    QRandomGenerator random;
};

// Frames that pass one test type of a plan under the rules of every program (each listed channel
// keeps to the intersection of its Y windows with and without the additions), or that fail it
// on one channel only, whose X (or, when the X window admits every value, Y) lies outside.
class PlanFrames : public ModuleFrames
{
public:
    // Nothing, with the reason in `error`, when no frame can do what is asked.
    static std::optional<PlanFrames> forTest(const QcType &type, std::optional<int> failChannel,
                                             quint32 seed, QString *error);
    QVector<StreamPoint> frame(quint64 number) override;

    struct Window
    {
        qint32 low = 0;
        qint32 high = 0;
    };

private:
    PlanFrames() = default;

    std::array<Window, 27> x {};
    std::array<Window, 27> y {};
    QRandomGenerator random;
};
