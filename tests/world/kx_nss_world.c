/* The world's directory service: an NSS module for the user and group databases, listed after
 * "files" in the world's /etc/nsswitch.conf. It knows no account, as a domain whose users are
 * all elsewhere; while the file /run/kxworld/nss-unavailable exists it answers as a service that
 * is down (sssd restarting, its server gone): NSS_STATUS_UNAVAIL, which getpwuid_r() and
 * getgrnam_r() report as an error and getgrouplist() passes over without a word. */

#define _GNU_SOURCE
#include <errno.h>
#include <grp.h>
#include <nss.h>
#include <pwd.h>
#include <stddef.h>
#include <unistd.h>

static enum nss_status answer(int* errnop) {
    if (access("/run/kxworld/nss-unavailable", F_OK) == 0) {
        *errnop = ECONNREFUSED;
        return NSS_STATUS_UNAVAIL;
    }
    *errnop = ENOENT;
    return NSS_STATUS_NOTFOUND;
}

enum nss_status _nss_kxworld_getpwuid_r(uid_t uid, struct passwd* entry, char* buffer,
                                        size_t length, int* errnop) {
    (void)uid, (void)entry, (void)buffer, (void)length;
    return answer(errnop);
}

enum nss_status _nss_kxworld_getpwnam_r(const char* name, struct passwd* entry, char* buffer,
                                        size_t length, int* errnop) {
    (void)name, (void)entry, (void)buffer, (void)length;
    return answer(errnop);
}

enum nss_status _nss_kxworld_getgrgid_r(gid_t gid, struct group* entry, char* buffer, size_t length,
                                        int* errnop) {
    (void)gid, (void)entry, (void)buffer, (void)length;
    return answer(errnop);
}

enum nss_status _nss_kxworld_getgrnam_r(const char* name, struct group* entry, char* buffer,
                                        size_t length, int* errnop) {
    (void)name, (void)entry, (void)buffer, (void)length;
    return answer(errnop);
}

enum nss_status _nss_kxworld_initgroups_dyn(const char* user, gid_t group, long int* start,
                                            long int* size, gid_t** groups, long int limit,
                                            int* errnop) {
    (void)user, (void)group, (void)start, (void)size, (void)groups, (void)limit;
    return answer(errnop);
}
