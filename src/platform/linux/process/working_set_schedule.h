#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>

namespace mornix {

// Gives back the pages start-up touched once the process has settled, and again whenever its
// resident set has since grown by more than `regrowthBytes` (a window that was open, a burst of
// work): a settled agent then keeps resident what it uses. Main thread; the timers belong to
// this object.
class WorkingSetSchedule : public QObject {
public:
    struct Timing {
        std::chrono::milliseconds settle{std::chrono::seconds(10)};  // after start
        std::chrono::milliseconds check{std::chrono::minutes(5)};    // then the resident set is looked at
        std::size_t regrowthBytes = std::size_t(4) << 20;
    };
    // What one release leaves resident (bytes), nullopt when it could not be done.
    using Release = std::function<std::optional<std::size_t>()>;
    using Resident = std::function<std::optional<std::size_t>()>;

    // The real release and the process's own resident set.
    explicit WorkingSetSchedule(QObject *parent = nullptr);
    WorkingSetSchedule(Timing timing, Release release, Resident resident, QObject *parent = nullptr);

    void start();

private:
    void releaseNow();
    void check();

    const Timing m_timing;
    const Release m_release;
    const Resident m_resident;
    QTimer m_timer;
    std::optional<std::size_t> m_leftResident;  // after the last release
};

}  // namespace mornix
