// SocketCAN back end: raw CAN sockets, interface bit rates (libsocketcan), the interface list from
// /sys/class/net, and creating vcan interfaces over rtnetlink.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h> // before the kernel headers, which then leave out what libc defines
#include <libsocketcan.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <string>

#include "kr_bytes.h"
#include "kr_can_port.h"
#include "kr_utilities.h"

namespace {

// An interface name that is safe to put into a /sys path and fits IFNAMSIZ.
bool ifname_ok(const char *name)
{
    if (!name || !*name) return false;
    size_t n = std::strlen(name);
    if (n >= IFNAMSIZ) return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (size_t i = 0; i < n; i++)
        if (name[i] == '/' || name[i] <= ' ' || name[i] > '~') return false;
    return true;
}

bool read_sys(const char *name, const char *attr, char *out, size_t out_size)
{
    std::string path = std::string("/sys/class/net/") + name + "/" + attr;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, out, out_size - 1);
    close(fd);
    if (n <= 0) return false;
    out[n] = '\0';
    return true;
}

struct nl_request {
    struct nlmsghdr n;
    struct ifinfomsg i;
    char attrs[256];
};

struct rtattr *add_attr(nl_request *req, unsigned short type, const void *data, size_t len)
{
    size_t need = RTA_LENGTH(len);
    size_t at = NLMSG_ALIGN(req->n.nlmsg_len);
    if (at + RTA_ALIGN(need) > sizeof *req) return nullptr;
    struct rtattr *rta = reinterpret_cast<struct rtattr *>(reinterpret_cast<char *>(req) + at);
    rta->rta_type = type;
    rta->rta_len = (unsigned short)need;
    if (len) std::memcpy(RTA_DATA(rta), data, len);
    req->n.nlmsg_len = (uint32_t)(at + RTA_ALIGN(need));
    return rta;
}

} // namespace

int _kr_can_socketcan_open(const char *ifname, uint32_t baud, char *err, size_t err_len)
{
    if (!ifname_ok(ifname)) {
        std::snprintf(err, err_len, "not a valid interface name (at most %d characters)", IFNAMSIZ - 1);
        return -1;
    }
    int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        if (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)
            std::snprintf(err, err_len,
                          "this kernel has no CAN support (%s); a bus served over the network is named "
                          "socketcand://HOST[:PORT]/BUS",
                          std::strerror(errno));
        else
            std::snprintf(err, err_len, "cannot create a CAN socket: %s", std::strerror(errno));
        return -1;
    }
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    kr_copy_text(ifr.ifr_name, sizeof ifr.ifr_name, ifname);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        std::snprintf(err, err_len, "no such interface");
        close(fd);
        return -1;
    }
    int ifindex = ifr.ifr_ifindex;
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && !(ifr.ifr_flags & IFF_UP)) {
        std::snprintf(err, err_len, "the interface is down");
        close(fd);
        return -1;
    }
    can_err_mask_t mask = CAN_ERR_MASK;
    int on = 1;
    setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof mask);
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    struct sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
        std::snprintf(err, err_len, "cannot bind to the interface: %s", std::strerror(errno));
        close(fd);
        return -1;
    }
    uint32_t current = _kr_can_socketcan_bitrate(ifname);
    if (current != 0 && current != baud) {
        // The bit rate can only change while the interface is down, and only with CAP_NET_ADMIN.
        bool set = can_do_stop(ifname) == 0 && can_set_bitrate(ifname, baud) == 0;
        can_do_start(ifname);
        if (!set)
            kr_diag("Couldn't set the bit rate of %s to %u (it stays at %u): this needs root rights "
                    "(CAP_NET_ADMIN), or set it with 'ip link set %s type can bitrate %u'.\n",
                    ifname, (unsigned)baud, (unsigned)current, ifname, (unsigned)baud);
    }
    return fd;
}

int _kr_can_socketcan_read(int fd, kr_can_message_st *msg, struct timeval *tv, int *error)
{
    for (;;) {
        struct can_frame frame;
        char control[CMSG_SPACE(sizeof(struct timeval))];
        struct iovec iov = {&frame, sizeof frame};
        struct msghdr mh;
        std::memset(&mh, 0, sizeof mh);
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            *error = errno;
            return -1;
        }
        if ((size_t)n < sizeof frame) continue; // not a classic CAN frame
        // A remote request carries no data: taken as a data frame, a node-guarding request on
        // 0x700 + node would read as that node's boot-up. The library knows no such frame.
        if ((frame.can_id & CAN_RTR_FLAG) && !(frame.can_id & CAN_ERR_FLAG)) continue;
        std::memset(msg, 0, sizeof *msg);
        if (frame.can_id & CAN_ERR_FLAG) {
            msg->type = CAN_ERR;
            msg->id = frame.can_id & CAN_ERR_MASK;
        } else if (frame.can_id & CAN_EFF_FLAG) {
            msg->type = CAN_EXT;
            msg->id = frame.can_id & CAN_EFF_MASK;
        } else {
            msg->type = CAN_STD;
            msg->id = frame.can_id & CAN_SFF_MASK;
        }
        uint8_t len = frame.can_dlc > 8 ? 8 : frame.can_dlc;
        msg->data_length = len;
        std::memcpy(msg->data, frame.data, len);
        bool stamped = false;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
                std::memcpy(tv, CMSG_DATA(c), sizeof *tv);
                stamped = true;
            }
        }
        if (!stamped) gettimeofday(tv, nullptr);
        return 1;
    }
}

int _kr_can_socketcan_try_write(int fd, const kr_can_message_st *msg)
{
    struct can_frame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.can_id = msg->type == CAN_EXT ? ((msg->id & CAN_EFF_MASK) | CAN_EFF_FLAG) : (msg->id & CAN_SFF_MASK);
    frame.can_dlc = msg->data_length;
    std::memcpy(frame.data, msg->data, msg->data_length);
    ssize_t n = write(fd, &frame, sizeof frame);
    if (n == (ssize_t)sizeof frame) return 0;
    return n < 0 ? errno : EIO;
}

uint32_t _kr_can_socketcan_bitrate(const char *ifname)
{
    if (!ifname_ok(ifname) || !_kr_can_socketcan_is_can(ifname)) return 0;
    struct can_bittiming bt;
    std::memset(&bt, 0, sizeof bt);
    if (can_get_bittiming(ifname, &bt) != 0) return 0;
    return bt.bitrate;
}

bool _kr_can_socketcan_is_can(const char *ifname)
{
    char type[16];
    if (!ifname_ok(ifname) || !read_sys(ifname, "type", type, sizeof type)) return false;
    return std::atoi(type) == ARPHRD_CAN;
}

bool _kr_can_socketcan_is_virtual(const char *ifname)
{
    if (!_kr_can_socketcan_is_can(ifname)) return false;
    // Hardware interfaces have a device link; vcan and vxcan have none.
    std::string path = std::string("/sys/class/net/") + ifname + "/device";
    struct stat st;
    return lstat(path.c_str(), &st) != 0;
}

int32_t _kr_can_socketcan_list(char names[][KR_CAN_DEVS_NAME_LEN], int32_t max)
{
    std::vector<std::string> found;
    DIR *d = opendir("/sys/class/net");
    if (!d) return 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (_kr_can_socketcan_is_can(e->d_name)) found.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    int32_t count = 0;
    for (const std::string &n : found) {
        if (count == max) break;
        kr_copy_text(names[count++], KR_CAN_DEVS_NAME_LEN, n.c_str());
    }
    return count;
}

bool _kr_can_socketcan_create_vcan(const char *ifname, char *err, size_t err_len)
{
    if (!ifname_ok(ifname)) {
        std::snprintf(err, err_len, "'%s' is not a valid interface name (1 to %d characters, no '/' or spaces)",
                      ifname ? ifname : "", IFNAMSIZ - 1);
        return false;
    }
    if (if_nametoindex(ifname) != 0) {
        std::snprintf(err, err_len, "an interface named '%s' already exists", ifname);
        return false;
    }
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        std::snprintf(err, err_len, "cannot talk to the kernel's network configuration: %s", std::strerror(errno));
        return false;
    }
    nl_request req;
    std::memset(&req, 0, sizeof req);
    req.n.nlmsg_len = NLMSG_LENGTH(sizeof(struct ifinfomsg));
    req.n.nlmsg_type = RTM_NEWLINK;
    req.n.nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
    req.n.nlmsg_seq = 1;
    req.i.ifi_family = AF_UNSPEC;
    req.i.ifi_flags = IFF_UP;
    req.i.ifi_change = IFF_UP;
    add_attr(&req, IFLA_IFNAME, ifname, std::strlen(ifname) + 1);
    struct rtattr *linkinfo = add_attr(&req, IFLA_LINKINFO, nullptr, 0);
    if (!linkinfo || !add_attr(&req, IFLA_INFO_KIND, "vcan", 4)) {
        close(fd);
        std::snprintf(err, err_len, "internal error building the request");
        return false;
    }
    linkinfo->rta_len = (unsigned short)(req.n.nlmsg_len - (uint32_t)(reinterpret_cast<char *>(linkinfo) -
                                                                      reinterpret_cast<char *>(&req)));
    struct sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    int result = EIO;
    if (sendto(fd, &req, req.n.nlmsg_len, 0, reinterpret_cast<struct sockaddr *>(&kernel), sizeof kernel) < 0) {
        result = errno;
    } else {
        char answer[1024];
        ssize_t n = recv(fd, answer, sizeof answer, 0);
        if (n < 0) {
            result = errno;
        } else {
            struct nlmsghdr *h = reinterpret_cast<struct nlmsghdr *>(answer);
            if (NLMSG_OK(h, (unsigned)n) && h->nlmsg_type == NLMSG_ERROR) {
                const struct nlmsgerr *e = static_cast<const struct nlmsgerr *>(NLMSG_DATA(h));
                result = -e->error;
            }
        }
    }
    close(fd);
    if (result == 0) return true;
    if (result == EPERM || result == EACCES)
        std::snprintf(err, err_len, "creating a virtual CAN bus needs root rights (CAP_NET_ADMIN)");
    else if (result == EOPNOTSUPP || result == ENODEV || result == ENOENT)
        std::snprintf(err, err_len, "this kernel has no virtual CAN support (the vcan module is missing)");
    else if (result == EEXIST)
        std::snprintf(err, err_len, "an interface named '%s' already exists", ifname);
    else
        std::snprintf(err, err_len, "the kernel refused to create '%s': %s", ifname, std::strerror(result));
    return false;
}
