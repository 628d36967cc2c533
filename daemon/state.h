/* state.h - the state file's layout, shared by state.cpp (writing) and restore.cpp (loading) */
#ifndef VORLEN_STATE_H
#define VORLEN_STATE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorleni.h"

/* The file's first bytes; a file without them is not a state file. */
#define ST_MAGIC "VORLENST"
/* The layout's version: a file of another version is set aside, never read. */
constexpr uint32_t ST_VERSION = 2;

/* Every slot begins with used (1: in use; 0: free, the whole slot zero) and
 * ends with crc, the CRC-32 of the bytes before it. */
struct ST_HEADER {
    char magic[8];
    uint32_t version;
    uint32_t header_size; /* the sizes of this layout's records: a file of another build's */
    uint32_t proc_size;   /* layout is found by them */
    uint32_t name_size;
    uint32_t proxy_size;
    uint32_t timer_size;
    uint32_t vc_size;
    uint32_t nprocs; /* the number of slots of each kind */
    uint32_t nnames;
    uint32_t nproxies;
    uint32_t ntimers;
    uint32_t nvcs;
    int32_t daemon_pid;  /* the daemon that writes it */
    uint32_t zero;       /* 0 */
    uint64_t generation; /* one more at each start that takes the file over */
    uint32_t pad;
    uint32_t crc;
};

struct ST_PROC {
    uint32_t used;
    int32_t pid;
    uint64_t start_ticks; /* field 22 of /proc/<pid>/stat when the record was made */
    uint32_t uid;         /* the owner of /proc/<pid> then: the process's user */
    int32_t pflags;
    int64_t bytes_send, bytes_received, bytes_reply;
    int64_t msg_send, msg_received, msg_reply;
    char pname[QNX_PNAME_LEN];
    char pad[3];
    uint32_t crc;
};

struct ST_NAME {
    uint32_t used;
    int32_t id;
    int32_t pid;
    char name[NAME_SLOT_LEN];
    char pad[6];
    uint32_t crc;
};

struct ST_PROXY {
    uint32_t used;
    int32_t id;
    int32_t owner;
    int32_t nbytes;
    char message[QNX_MAX_PROXY_MSG];
    int32_t trigger_cnt;
    int32_t counting;
    int32_t prio;
    int32_t from_nid;
    int32_t fire_cnt;
    int32_t pad;
    uint32_t crc;
};

struct ST_TIMER {
    uint32_t used;
    int32_t owner;
    int32_t timer_type;
    int32_t notify_type;
    struct itimercb itimercb;
    int64_t deadline_sec; /* the deadline as the timer keeps it, on its clock */
    int32_t deadline_usec;
    int32_t deadline_ns;
    int32_t clock;
    QNX_ITIMERSPEC oitimerspec;
    int32_t fire_cnt;
    uint32_t crc;
};

/* A circuit to another node, kept so that it goes on when its local party
 * is restored (or is the process manager, local_pid 0). */
struct ST_VC {
    uint32_t used;
    int32_t vid; /* this node's id for it */
    int32_t nid; /* the far node */
    int32_t far_pid;
    int32_t far_vid;
    int32_t local_pid;
    int32_t links;
    uint32_t length;
    uint64_t incarnation;      /* the far node's */
    char pname[QNX_PNAME_LEN]; /* the far party's program name, the stub's */
    char pad[3];
    uint32_t crc;
};

/* Every kind of slot is a whole number of 8 bytes, so that each table of
 * the mapping, one after the other, is aligned for its 64-bit fields. */
static_assert(sizeof(ST_HEADER) % 8 == 0 && sizeof(ST_PROC) % 8 == 0 && sizeof(ST_NAME) % 8 == 0 &&
              sizeof(ST_PROXY) % 8 == 0 && sizeof(ST_TIMER) % 8 == 0 && sizeof(ST_VC) % 8 == 0);

/* The open state file: its mapping and the process slots free in it. */
struct ST_FILE {
    std::string path;
    int fd = -1;
    size_t size = 0;
    ST_HEADER *hdr = nullptr; /* null: no state file */
    ST_PROC *procs = nullptr;
    ST_NAME *names = nullptr;
    ST_PROXY *proxies = nullptr;
    ST_TIMER *timers = nullptr;
    ST_VC *vcs = nullptr;
    std::vector<uint32_t> free_procs;
    std::vector<uint32_t> free_vcs;
    bool full_said = false;
};
extern ST_FILE st_file;

uint32_t st_crc32(const void *p, size_t n);
/* state_seed gives the new record ps a slot with the start time and user its
 * process had, as the file a restart loaded says. */
void state_seed(QNX_PSTATE *ps, uint64_t start_ticks, uint32_t uid);
size_t st_file_size(const ST_HEADER &h);
bool st_map(int fd, const ST_HEADER &h);

#endif
