#pragma once

#include <QString>

#include <optional>

// The four programs built from this tree. Each subsystem keeps its per-program constants in a
// table indexed by this value; the windows pick their row when they are compiled.
enum class Deliverable { Viewer, Cam, Qc, Lite };

constexpr const char *deliverableName(Deliverable d)
{
    switch (d) {
    case Deliverable::Viewer:
        return "envviewer";
    case Deliverable::Cam:
        return "envviewer_cam";
    case Deliverable::Qc:
        return "envviewer_qc";
    case Deliverable::Lite:
        return "envviewer_lite";
    }
    return "";
}

// The program of that name; none for any other text.
inline std::optional<Deliverable> deliverableNamed(const QString &name)
{
    for (Deliverable d :
         {Deliverable::Viewer, Deliverable::Cam, Deliverable::Qc, Deliverable::Lite}) {
        if (name == QLatin1String(deliverableName(d)))
            return d;
    }
    return std::nullopt;
}
