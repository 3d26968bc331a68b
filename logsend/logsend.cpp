// The report exports arrive with the report channel.
#include "kiv_logsend.h"
