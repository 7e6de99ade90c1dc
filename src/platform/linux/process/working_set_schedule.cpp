#include "platform/linux/process/working_set_schedule.h"

#include "platform/linux/platform_logging.h"
#include "platform/linux/process/working_set.h"

namespace mornix {

namespace {

std::optional<std::size_t> releaseAndLog()
{
    const std::optional<WorkingSetRelease> release = releaseIdlePages();
    if (!release) {
        qCWarning(lcMemory) << "could not give back idle pages: /proc/self/smaps is not readable";
        return std::nullopt;
    }
    qCDebug(lcMemory).nospace() << "gave back idle pages: resident " << release->residentBefore / 1024 << " kB -> "
                                << release->residentAfter / 1024 << " kB (" << release->ranges << " ranges)";
    return release->residentAfter;
}

}  // namespace

WorkingSetSchedule::WorkingSetSchedule(QObject *parent)
    : WorkingSetSchedule(Timing(), releaseAndLog, residentBytes, parent)
{
}

WorkingSetSchedule::WorkingSetSchedule(Timing timing, Release release, Resident resident, QObject *parent)
    : QObject(parent)
    , m_timing(timing)
    , m_release(std::move(release))
    , m_resident(std::move(resident))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_leftResident ? check() : releaseNow(); });
}

void WorkingSetSchedule::start()
{
    m_leftResident.reset();
    m_timer.start(m_timing.settle);
}

void WorkingSetSchedule::releaseNow()
{
    m_leftResident = m_release();
    // A release that could not be done is not tried again: the next one would fail the same way.
    if (m_leftResident)
        m_timer.start(m_timing.check);
}

void WorkingSetSchedule::check()
{
    const std::optional<std::size_t> now = m_resident();
    if (now && *now > *m_leftResident + m_timing.regrowthBytes)
        releaseNow();
    else
        m_timer.start(m_timing.check);
}

}  // namespace mornix
