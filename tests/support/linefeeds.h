#pragma once

// The two kinds of stream that the line-rate benchmark feeds the windows and that the canvas tests
// paint: what a module sees on a quiet bench and what it sees when anything moves before it.

#include "link/streamencoder.h"

#include <QRandomGenerator>
#include <QVector>

#include <array>

enum class LineFeed {
    // Each channel near a fixed place of its own, with +-3 px of noise.
    Steady,
    // Every point anywhere in view, new places every frame.
    Scattered,
};

inline const char *lineFeedName(LineFeed feed)
{
    return feed == LineFeed::Steady ? "steady" : "scattered";
}

// The frames of one feed, 27 points each, the same for the same seed. Points stay where
// envviewer's canvas shows their squares whole: x from -498 to 499, y from 4 to 598.
class LineFeedFrames
{
public:
    static constexpr int channels = 27;
    static constexpr int noise = 3;

    LineFeedFrames(LineFeed feed, quint32 seed)
        : feed(feed)
        , random(seed)
    {
        for (StreamPoint &home : homes)
            home = anywhere(noise);
    }

    QVector<StreamPoint> next()
    {
        QVector<StreamPoint> points;
        points.reserve(channels);
        for (const StreamPoint &home : homes) {
            StreamPoint p = feed == LineFeed::Scattered ? anywhere(0) : home;
            if (feed == LineFeed::Steady) {
                p.x = qint16(p.x + random.bounded(-noise, noise + 1));
                p.y = qint16(p.y + random.bounded(-noise, noise + 1));
            }
            points.append(p);
        }
        return points;
    }

private:
    // A point in view, `margin` pixels inside its edges; one the line carries.
    StreamPoint anywhere(int margin)
    {
        StreamPoint p;
        do {
            p = {qint16(random.bounded(-498 + margin, 500 - margin)),
                 qint16(random.bounded(4 + margin, 599 - margin))};
        } while (!StreamEncoder::canCarry(p.x, p.y));
        return p;
    }

    LineFeed feed;
    QRandomGenerator random;
    std::array<StreamPoint, channels> homes;
};
