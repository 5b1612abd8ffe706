// stdfds.cc - keeps descriptors 0, 1 and 2 taken while a tool runs.
#include "stdfds.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int stdfds_reserve(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (null < 0)
            return -1;
        // The lower descriptors are open, so open took fd itself.
        if (null != fd) {
            int rc = dup2(null, fd);
            int saved = errno;
            close(null);
            errno = saved;
            if (rc < 0)
                return -1;
        }
    }
    return 0;
}
