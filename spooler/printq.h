// The print queue store: the queue file of fixed 852-byte job records through which jobdesk,
// spoold, pjlsend and queuejson hand jobs to each other, the queue lock file and the pause flag.
// There is no server: every program reads and rewrites the files itself, under the queue lock.
#pragma once
#include "spooler/pause_flag.h"
#include "spooler/queue_check.h"
#include "spooler/queue_config.h"
#include "spooler/queue_file.h"
#include "spooler/queue_lock.h"
#include "spooler/queue_record.h"
