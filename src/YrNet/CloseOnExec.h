#pragma once
#include <fcntl.h>

namespace YrNet
{

// Asio opens and accepts sockets without SOCK_CLOEXEC. Inside a host process every socket of ours
// must stay out of the host's other children (a listener inherited by one of them would keep its
// port alive after we close it), so each is marked as soon as it exists.
template <class TSocket>
void SetCloseOnExec(TSocket& socket)
{
    if (!socket.is_open())
        return;
    const int fd = socket.native_handle();
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0)
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

} // namespace YrNet
