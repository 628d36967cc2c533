/* netmap.cpp - the net map: its lines, this node's among them, and the plant's start values */
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "vorleni.h"

/* A net map larger than this is no plant's: it is refused before it is read. */
constexpr off_t NETMAP_MAX_BYTES = 1 << 20;

/* resolve_host resolves host to an IPv4 address: a dotted address as it is,
 * else through the resolver (AF_INET, the first address it gives). False
 * with why when it cannot. */
static bool resolve_host(const std::string &host, struct in_addr *addr, std::string *why) {
    if (inet_pton(AF_INET, host.c_str(), addr) == 1) return true;
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *ai = nullptr;
    int e = getaddrinfo(host.c_str(), nullptr, &hints, &ai);
    if (e != 0 || !ai) {
        *why = e == EAI_SYSTEM ? strerror(errno) : gai_strerror(e);
        return false;
    }
    *addr = reinterpret_cast<struct sockaddr_in *>(ai->ai_addr)->sin_addr;
    freeaddrinfo(ai);
    return true;
}
/* The seam a test swaps for a resolver of its own. */
bool (*netmap_resolve)(const std::string &host, struct in_addr *addr,
                       std::string *why) = resolve_host;

/* name_ok tells whether s may be a node's name or host: letters, digits,
 * '-', '.' and '_', as host names and certificate names are written. */
static bool name_ok(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == '_'))
            return false;
    return true;
}

/* whole_number reads s as a decimal number from lo to hi, digits only;
 * -1 when it is anything else. */
static long whole_number(const std::string &s, long lo, long hi) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    long v = strtol(s.c_str(), nullptr, 10);
    return v < lo || v > hi ? -1 : v;
}

/* node_address is the address and port of node n's link, as "a.b.c.d:port";
 * it cannot fail. */
std::string node_address(const NODE &n) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &n.addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(n.addr.sin_port));
}

/* parse_line reads one line that holds a node, its words already split,
 * into n; the reason when it cannot. */
static std::string parse_line(const std::vector<std::string> &w, NODE &n) {
    if (w.size() < 2) return "'" + w[0] + "': a node id without a host";
    if (w.size() > 3) return "'" + w[3] + "': more than 'nid host[:port] [name]'";
    long nid = whole_number(w[0], 1, VORLEN_MAX_NODES);
    if (nid < 0)
        return "'" + w[0] + "': not a node id from 1 to " + std::to_string(VORLEN_MAX_NODES);
    n.nid = int32_t(nid);
    size_t colon = w[1].find(':');
    n.host = w[1].substr(0, colon);
    long port = VORLEN_NODE_PORT;
    if (colon != std::string::npos) {
        port = whole_number(w[1].substr(colon + 1), VORLEN_PORT_MIN, VORLEN_PORT_MAX);
        if (port < 0)
            return "'" + w[1] + "': not a port from " + std::to_string(VORLEN_PORT_MIN) + " to " +
                   std::to_string(VORLEN_PORT_MAX);
    }
    if (n.host.empty()) return "'" + w[1] + "': no host";
    if (!name_ok(n.host)) return "'" + n.host + "': not a host name or IPv4 address";
    n.name = w.size() == 3 ? w[2] : n.host;
    if (!name_ok(n.name) || n.name.size() >= VORLEN_NODE_NAME_LEN)
        return "'" + n.name + "': a node's name is letters, digits, '-', '.' and '_', at most " +
               std::to_string(VORLEN_NODE_NAME_LEN - 1);
    n.addr = {};
    n.addr.sin_family = AF_INET;
    n.addr.sin_port = htons(uint16_t(port));
    std::string why;
    if (!netmap_resolve(n.host, &n.addr.sin_addr, &why))
        return "cannot resolve '" + n.host + "': " + why;
    if (n.addr.sin_addr.s_addr == htonl(INADDR_ANY) ||
        n.addr.sin_addr.s_addr == htonl(INADDR_BROADCAST))
        return "'" + n.host + "' is no address a node can be reached at";
    return "";
}

/* netmap_parse reads the text of a net map: one node a line as
 * "nid host[:port] [name]", '#' to the end of a line a comment, blank lines
 * left out. Each host is resolved once, here. A line that cannot be read, an
 * id out of range, a node, a name or an address twice and a host that cannot
 * be resolved are refused: false, with the line and the reason in *fault. */
bool netmap_parse(const std::string &text, std::vector<NODE> *nodes, NETMAP_FAULT *fault) {
    nodes->clear();
    std::vector<int> lines; /* the line of each node */
    int line = 0;
    for (size_t at = 0; at < text.size();) {
        line++;
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string s = text.substr(at, end - at);
        at = end + 1;
        s = s.substr(0, s.find('#'));
        std::vector<std::string> words;
        for (size_t i = 0; i < s.size();) {
            size_t b = s.find_first_not_of(" \t\r", i);
            if (b == std::string::npos) break;
            size_t e = s.find_first_of(" \t\r", b);
            if (e == std::string::npos) e = s.size();
            words.push_back(s.substr(b, e - b));
            i = e;
        }
        if (words.empty()) continue;
        NODE n;
        std::string why = parse_line(words, n);
        for (size_t k = 0; why.empty() && k < nodes->size(); k++) {
            const NODE &o = (*nodes)[k];
            const std::string first = " (first on line " + std::to_string(lines[k]) + ")";
            if (o.nid == n.nid)
                why = "node " + std::to_string(n.nid) + " is named twice" + first;
            else if (o.name == n.name)
                why = "the name '" + n.name + "' is node " + std::to_string(o.nid) + "'s already" +
                      first;
            else if (o.addr.sin_addr.s_addr == n.addr.sin_addr.s_addr &&
                     o.addr.sin_port == n.addr.sin_port)
                why = node_address(n) + " is node " + std::to_string(o.nid) + "'s already" + first;
        }
        if (!why.empty()) {
            fault->line = line;
            fault->why = why;
            return false;
        }
        nodes->push_back(n);
        lines.push_back(line);
    }
    if (nodes->empty()) {
        fault->line = 0;
        fault->why = "the net map names no node";
        return false;
    }
    return true;
}

/* host_addresses lists the IPv4 addresses of this host's interfaces (those
 * of the network namespace the daemon runs in); empty when getifaddrs
 * fails. */
std::vector<struct in_addr> host_addresses() {
    std::vector<struct in_addr> own;
    struct ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return own;
    for (struct ifaddrs *i = all; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            own.push_back(reinterpret_cast<struct sockaddr_in *>(i->ifa_addr)->sin_addr);
    freeifaddrs(all);
    return own;
}

/* netmap_self finds this node's line in nodes: that of node nid when it is
 * given (not 0), else the one line whose address is one of own. -1 with the
 * reason when there is none or, without nid, more than one. */
int netmap_self(const std::vector<NODE> &nodes, int32_t nid, const std::vector<struct in_addr> &own,
                std::string *why) {
    if (nid != 0) {
        for (size_t i = 0; i < nodes.size(); i++)
            if (nodes[i].nid == nid) return int(i);
        *why = "has no node " + std::to_string(nid);
        return -1;
    }
    int found = -1;
    for (size_t i = 0; i < nodes.size(); i++) {
        bool mine = false;
        for (const struct in_addr &a : own) mine |= a.s_addr == nodes[i].addr.sin_addr.s_addr;
        if (!mine) continue;
        if (found >= 0) {
            *why = "nodes " + std::to_string(nodes[size_t(found)].nid) + " and " +
                   std::to_string(nodes[i].nid) + " both have addresses of this host (give --node)";
            return -1;
        }
        found = int(i);
    }
    if (found < 0) *why = "no node has an address of this host (give --node)";
    return found;
}

/* make_incarnation makes the number this start of the daemon goes by: the
 * wall clock's microseconds above 12 random bits, so that a later start
 * mostly has a larger one and two starts within a microsecond still differ.
 * Never 0, which means none seen. */
uint64_t make_incarnation() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t us = uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
    uint16_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != ssize_t(sizeof r)) r = uint16_t(getpid());
    uint64_t inc = (us << 12) | (r & 0xfffu);
    return inc ? inc : 1;
}

/* refuse_start ends the daemon with status 2 and the message on standard
 * error: a plant it cannot take part in as asked. */
[[noreturn]] static void refuse_start(const std::string &msg) {
    fprintf(stderr, "vorlen: %s\n", msg.c_str());
    exit(2);
}

/* read_netmap reads the file at path whole; ends the daemon with status 2
 * when it cannot, or when it is too large for a net map. */
static std::string read_netmap(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) refuse_start("--netmap '" + path + "': " + strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse_start("--netmap '" + path + "': not a regular file");
    if (st.st_size > NETMAP_MAX_BYTES)
        refuse_start("--netmap '" + path + "': larger than " + std::to_string(NETMAP_MAX_BYTES) +
                     " bytes");
    std::string text(size_t(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) refuse_start("--netmap '" + path + "': " + strerror(errno));
        if (n == 0) break;
        got += size_t(n);
    }
    close(fd);
    text.resize(got);
    return text;
}

/* check_readable ends the daemon with status 2 unless path, given by
 * option, is a regular file it can read; a key (secret) must be readable
 * by its owner alone. */
static void check_readable(const char *option, const std::string &path, bool secret) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        refuse_start(std::string(option) + " '" + path + "': " + strerror(errno));
    close(fd);
    if (!S_ISREG(st.st_mode))
        refuse_start(std::string(option) + " '" + path + "': not a regular file");
    if (secret && (st.st_mode & (S_IRGRP | S_IROTH))) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        refuse_start(std::string(option) + " '" + path + "': readable by group or others (mode " +
                     mode + "); make it 0600");
    }
}

/* netmap_load fills the plant from the net map and the options: the nodes,
 * this node's id, the certificate files, the heartbeat. Without a net map
 * (none given, none at the default path) the host is node 1 alone. A map
 * that cannot be read or is refused, no line or an ambiguous one for this
 * node, and --node without a map end the daemon with status 2. */
void netmap_load(PGLOB *pglob, const NETMAP_OPTIONS &opt) {
    PLANT &plant = pglob->plant;
    plant.heartbeat_ms = opt.heartbeat_ms;
    plant.timeout_ms = opt.timeout_ms;
    plant.incarnation = make_incarnation();
    std::string path = opt.path;
    if (path.empty() && access(VORLEN_NETMAP_DEFAULT, F_OK) == 0) path = VORLEN_NETMAP_DEFAULT;
    if (path.empty()) {
        if (opt.node != 0)
            refuse_start("--node needs a net map (--netmap, or " VORLEN_NETMAP_DEFAULT ")");
        return;
    }
    std::vector<NODE> nodes;
    NETMAP_FAULT fault;
    if (!netmap_parse(read_netmap(path), &nodes, &fault))
        refuse_start(path + (fault.line ? ":" + std::to_string(fault.line) : "") + ": " +
                     fault.why);
    std::string why;
    int self = netmap_self(nodes, opt.node, host_addresses(), &why);
    if (self < 0 && opt.node != 0)
        refuse_start("--node '" + std::to_string(opt.node) + "': " + path + " " + why);
    if (self < 0) refuse_start(path + ": " + why);
    nodes[size_t(self)].state = LINK_STATE::SELF;
    nodes[size_t(self)].incarnation = plant.incarnation;
    plant.self = nodes[size_t(self)].nid;
    plant.nodes = std::move(nodes);
    plant.netmap_path = path;
    plant.tls_cert = opt.tls_cert.empty() ? VORLEN_TLS_DIR "/node.crt" : opt.tls_cert;
    plant.tls_ca = opt.tls_ca.empty() ? VORLEN_TLS_DIR "/ca.crt" : opt.tls_ca;
    plant.tls_key = opt.tls_key;
    if (plant.tls_key.empty()) {
        /* systemd's LoadCredential=tls-key:... hands the unit's user a copy. */
        const char *creds = getenv("CREDENTIALS_DIRECTORY");
        std::string cred = creds && *creds ? std::string(creds) + "/tls-key" : "";
        plant.tls_key = !cred.empty() && access(cred.c_str(), F_OK) == 0
                            ? cred
                            : std::string(VORLEN_TLS_DIR "/node.key");
    }
}

/* netmap_check_files ends the daemon with status 2 unless the plant's
 * certificate, key and CA files can be read, and the key by its owner
 * alone. Only with a net map. */
void netmap_check_files(const PGLOB *pglob) {
    const PLANT &plant = pglob->plant;
    if (plant.netmap_path.empty()) return;
    check_readable("--tls-cert", plant.tls_cert, false);
    check_readable("--tls-key", plant.tls_key, true);
    check_readable("--tls-ca", plant.tls_ca, false);
}

/* netmap_about is the start line's account of the plant: this node, the
 * map, the incarnation and the OpenSSL the links run on; "" without a net
 * map. */
std::string netmap_about(const PGLOB *pglob) {
    const PLANT &plant = pglob->plant;
    if (plant.netmap_path.empty()) return "";
    const NODE *me = plant_node(pglob, plant.self);
    char inc[24];
    snprintf(inc, sizeof inc, "%016llx", static_cast<unsigned long long>(plant.incarnation));
    return "node " + std::to_string(plant.self) + " (" + me->name + ", links on " +
           node_address(*me) + ") of " + std::to_string(plant.nodes.size()) + " in " +
           plant.netmap_path + ", incarnation " + inc + ", OpenSSL " +
           OpenSSL_version(OPENSSL_VERSION_STRING);
}

/* plant_node is the net map's node nid; null when the map has none. */
const NODE *plant_node(const PGLOB *pglob, int32_t nid) {
    for (const NODE &n : pglob->plant.nodes)
        if (n.nid == nid) return &n;
    return nullptr;
}

/* unit_word gives s for the drop-in's command line, or ends the daemon
 * with status 2 when s holds what the unit would read otherwise: systemd
 * splits an expanded variable at blanks and takes '%' as a specifier. */
static std::string unit_word(const char *option, const std::string &s) {
    if (s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                            "0123456789-._/:=+,@") != std::string::npos)
        refuse_start(std::string(option) + " '" + s +
                     "': a path for the unit is letters, digits and -._/:=+,@ only");
    return s;
}

/* netmap_unit_dropin is the systemd drop-in that takes the unit into the
 * plant of the loaded net map: the daemon's options for it (through
 * VORLEN_NETMAP_OPTIONS, which the unit's ExecStart expands), the net
 * map's addresses let through beside loopback, and the key handed over as
 * the credential tls-key, so that the unit's user alone reads it. */
std::string netmap_unit_dropin(const PGLOB *pglob, const NETMAP_OPTIONS &opt) {
    const PLANT &plant = pglob->plant;
    char *abs = realpath(plant.netmap_path.c_str(), nullptr);
    std::string map = abs ? abs : plant.netmap_path;
    free(abs);
    std::string options = "--netmap " + unit_word("--netmap", map);
    if (opt.node) options += " --node " + std::to_string(opt.node);
    if (!opt.tls_cert.empty()) options += " --tls-cert " + unit_word("--tls-cert", opt.tls_cert);
    if (!opt.tls_ca.empty()) options += " --tls-ca " + unit_word("--tls-ca", opt.tls_ca);
    if (opt.heartbeat_ms != DEFAULT_NODE_HEARTBEAT_MS)
        options += " --node-heartbeat " + std::to_string(opt.heartbeat_ms);
    if (opt.timeout_ms != DEFAULT_NODE_TIMEOUT_MS)
        options += " --node-timeout " + std::to_string(opt.timeout_ms);
    /* The key goes in as a credential, never as an option: the unit's user
     * may not read the file itself. */
    std::string key =
        unit_word("--tls-key", opt.tls_key.empty() ? VORLEN_TLS_DIR "/node.key" : opt.tls_key);
    std::string out = "# netmap.conf - vorlen.service as node " + std::to_string(plant.self) +
                      " of the plant in " + map +
                      "\n# Made by vorlen --unit-dropin; make it again when the net map "
                      "changes, then\n# systemctl daemon-reload and systemctl restart vorlen.\n"
                      "[Service]\n" +
                      "Environment=\"VORLEN_NETMAP_OPTIONS=" + options + "\"\n";
    for (const NODE &n : plant.nodes) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &n.addr.sin_addr, text, sizeof text);
        out += "IPAddressAllow=" + std::string(text) + "/32\n";
    }
    out += "LoadCredential=tls-key:" + key + "\n";
    return out;
}
