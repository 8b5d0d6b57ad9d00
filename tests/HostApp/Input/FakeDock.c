/* A stand-in for the Dock's notification function, loaded by path in the input tests. */
#include <stdint.h>
#include <string.h>

static int32_t nextStatus = 0;
static int calls = 0;
static char lastName[128];

int32_t CoreDockSendNotification(const char* name, int32_t flags) {
    ++calls;
    strncpy(lastName, name, sizeof lastName - 1);
    return flags == 0 ? nextStatus : -1;
}

void qmFakeDockSetStatus(int32_t status) { nextStatus = status; }
int qmFakeDockCalls(void) { return calls; }
const char* qmFakeDockLastName(void) { return lastName; }
