// Descriptors 0, 1 and 2 that a parent left closed. The first files the miner opens would take
// their numbers: the pool's socket would become standard output and receive console lines as
// protocol lines, or the pool client's wake-up eventfd would. So the miner fills them first.
#pragma once

namespace orvo::qel {

// Opens every closed descriptor among 0-2 on /dev/null (a pipe with no other end where
// /dev/null cannot be opened: reads see the end, writes fail), in ascending order so each open
// takes the number it fills. Must run before anything else opens a file.
void open_closed_standard_streams();

}  // namespace orvo::qel
