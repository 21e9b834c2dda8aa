// The run's control: whether it should stop, and whether (and why) hashing is paused. One object
// owned by the run and handed to everything that stops or pauses: the signal handlers, the
// start-up waits, the hashing threads, the main loop and the HTTP API. Every operation is a
// lock-free atomic plus, for a change, a futex wake-up, so a signal handler may call
// request_stop and a sleeping thread needs no CPU and no polling to notice a change.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace orvo::qel {

// Why hashing is paused; several can hold at once, and hashing goes on only when none does.
enum class PauseReason : uint32_t {
    api = 1u << 0,          // paused over the HTTP API until resumed there
    temperature = 1u << 1,  // the CPU is too hot, or its sensor stopped answering
};
// Every reason, in the order the API and the console list them.
inline constexpr PauseReason PAUSE_REASONS[] = {PauseReason::api, PauseReason::temperature};
// A set of reasons: the bits of PauseReason.
using PauseReasons = uint32_t;
// "api", "temperature".
const char* pause_reason_name(PauseReason reason);
// The names of the reasons in `reasons`, in PAUSE_REASONS order, joined with ", ".
std::string pause_reasons_text(PauseReasons reasons);

class RunControl {
  public:
    RunControl() = default;
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    // Ends the run. Async-signal-safe (errno is kept); a stop is never taken back.
    void request_stop() noexcept;
    bool stop_requested() const noexcept;

    // Adds or removes one reason; true when the set of reasons changed (a repeat changes
    // nothing). Paused threads wake at once when the last reason goes.
    bool pause(PauseReason reason) noexcept;
    bool resume(PauseReason reason) noexcept;
    PauseReasons pause_reasons() const noexcept;
    bool paused() const noexcept { return pause_reasons() != 0; }

    // For a hashing thread between groups of hashes: returns true at once while no reason
    // holds; otherwise sleeps, using no CPU, until the last reason goes (true) or a stop comes
    // (false). False at once after a stop.
    bool wait_until_hashing_allowed() const noexcept;
    // Sleeps `duration`, or less when a stop comes first; true when the run is to stop.
    bool sleep_unless_stopped(std::chrono::nanoseconds duration) const noexcept;

  private:
    static constexpr uint32_t STOP_BIT = 1u << 31;
    void wake_all() noexcept;
    // Sleeps while the state still equals `seen`, at most `timeout` (null: no limit); returns
    // at any change, a signal, or spuriously.
    void wait_for_change(uint32_t seen, const std::chrono::nanoseconds* timeout) const noexcept;

    // STOP_BIT and the PauseReason bits. A futex word, so it is exactly 32 bits.
    std::atomic<uint32_t> state_{0};
};

}  // namespace orvo::qel
