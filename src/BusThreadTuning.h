#ifndef PELKO_BUSTHREADTUNING_H
#define PELKO_BUSTHREADTUNING_H

// Called by the bus thread on itself: a 1 ns timer slack and, with a
// priority of 1 to 99, SCHED_FIFO at it with the process's memory locked,
// where the system allows it (one warning line for each it does not).
void tuneBusThread(int realtimePriority);

#endif
