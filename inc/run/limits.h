/* Sizes the run model shares with the subjects' records: how many jobs one run queues and the
 * longest path a job or a device holds. Valid C11 and C++. */
#ifndef KRCAN_LIMITS_H
#define KRCAN_LIMITS_H

#define TASKS_LEN 5
#define DEV_PATH_LEN 1024

#endif
