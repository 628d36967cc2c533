/* unit_netmap.cpp - the net map's parser, this node's line in it, and the incarnation */
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "vorleni.h"

namespace {

/* A resolver that knows the plant's two names and nothing else, so that no
 * case depends on this host's resolver. */
bool plant_resolve(const std::string &host, struct in_addr *addr, std::string *why) {
    if (inet_pton(AF_INET, host.c_str(), addr) == 1) return true;
    const char *to = host == "alpha.plant" ? "10.0.0.1" : host == "beta.plant" ? "10.0.0.2" : "";
    if (*to) return inet_pton(AF_INET, to, addr) == 1;
    *why = "no such host";
    return false;
}

class NetMap : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = netmap_resolve;
        netmap_resolve = plant_resolve;
    }
    void TearDown() override { netmap_resolve = saved_; }

  private:
    bool (*saved_)(const std::string &, struct in_addr *, std::string *) = nullptr;
};

/* A node as a case expects it: "nid host addr:port name". */
std::string shown(const NODE &n) {
    return std::to_string(n.nid) + " " + n.host + " " + node_address(n) + " " + n.name;
}

in_addr addr(const char *text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a;
}

} // namespace

/* Each text is read into its nodes, or refused on its line with its reason. */
TEST_F(NetMap, LinesAreReadOrRefusedWithTheirLineNumber) {
    const std::string n63(63, 'n'), n64(64, 'n');
    struct Case {
        std::string text;
        std::vector<std::string> nodes; /* when it is read */
        int line;                       /* when it is refused (0: the map as a whole) */
        std::string why;
    } cases[] = {
        {"1 10.0.0.1\n", {"1 10.0.0.1 10.0.0.1:7780 10.0.0.1"}, 0, ""},
        {"# the plant\n\n  1 alpha.plant:7000 a # the first\n2\tbeta.plant\n255 10.0.0.3",
         {"1 alpha.plant 10.0.0.1:7000 a", "2 beta.plant 10.0.0.2:7780 beta.plant",
          "255 10.0.0.3 10.0.0.3:7780 10.0.0.3"},
         0,
         ""},
        {"1 10.0.0.1 a\r\n2 10.0.0.2:65535 b\r\n",
         {"1 10.0.0.1 10.0.0.1:7780 a", "2 10.0.0.2 10.0.0.2:65535 b"},
         0,
         ""},
        {"1 10.0.0.1 " + n63, {"1 10.0.0.1 10.0.0.1:7780 " + n63}, 0, ""},
        {"", {}, 0, "the net map names no node"},
        {"# nothing\n\n   \n", {}, 0, "the net map names no node"},
        {"0 10.0.0.1", {}, 1, "'0': not a node id from 1 to 255"},
        {"1 10.0.0.1\n256 10.0.0.2", {}, 2, "'256': not a node id from 1 to 255"},
        {"-1 10.0.0.1", {}, 1, "'-1': not a node id from 1 to 255"},
        {"+1 10.0.0.1", {}, 1, "'+1': not a node id from 1 to 255"},
        {"one 10.0.0.1", {}, 1, "'one': not a node id from 1 to 255"},
        {"99999999999 10.0.0.1", {}, 1, "'99999999999': not a node id from 1 to 255"},
        {"# a\n\n1", {}, 3, "'1': a node id without a host"},
        {"1 10.0.0.1 a b", {}, 1, "'b': more than 'nid host[:port] [name]'"},
        {"1 10.0.0.1:0", {}, 1, "'10.0.0.1:0': not a port from 1 to 65535"},
        {"1 10.0.0.1:65536", {}, 1, "'10.0.0.1:65536': not a port from 1 to 65535"},
        {"1 10.0.0.1:", {}, 1, "'10.0.0.1:': not a port from 1 to 65535"},
        {"1 10.0.0.1:80x", {}, 1, "'10.0.0.1:80x': not a port from 1 to 65535"},
        {"1 fe80::1", {}, 1, "'fe80::1': not a port from 1 to 65535"},
        {"1 :7780", {}, 1, "':7780': no host"},
        {"1 al/pha", {}, 1, "'al/pha': not a host name or IPv4 address"},
        {"1 10.0.0.1 n@me",
         {},
         1,
         "'n@me': a node's name is letters, digits, '-', '.' and '_', at most 63"},
        {"1 10.0.0.1 " + n64,
         {},
         1,
         "'" + n64 + "': a node's name is letters, digits, '-', '.' and '_', at most 63"},
        {"1 nowhere", {}, 1, "cannot resolve 'nowhere': no such host"},
        {"1 0.0.0.0", {}, 1, "'0.0.0.0' is no address a node can be reached at"},
        {"1 255.255.255.255", {}, 1, "'255.255.255.255' is no address a node can be reached at"},
        {"1 10.0.0.1 a\n# b\n2 10.0.0.2 b\n1 10.0.0.3 c",
         {},
         4,
         "node 1 is named twice (first on line 1)"},
        {"1 10.0.0.1 a\n2 10.0.0.2 a", {}, 2, "the name 'a' is node 1's already (first on line 1)"},
        {"1 alpha.plant\n2 10.0.0.1 a",
         {},
         2,
         "10.0.0.1:7780 is node 1's already (first on line 1)"},
    };
    for (const Case &c : cases) {
        std::vector<NODE> nodes;
        NETMAP_FAULT fault;
        bool ok = netmap_parse(c.text, &nodes, &fault);
        EXPECT_EQ(ok, c.why.empty()) << c.text;
        if (!ok) {
            EXPECT_EQ(fault.line, c.line) << c.text;
            EXPECT_EQ(fault.why, c.why) << c.text;
            continue;
        }
        std::vector<std::string> got;
        for (const NODE &n : nodes) {
            got.push_back(shown(n));
            EXPECT_EQ(n.state, LINK_STATE::DOWN) << c.text;
            EXPECT_EQ(n.addr.sin_family, AF_INET) << c.text;
        }
        EXPECT_EQ(got, c.nodes) << c.text;
    }
}

/* This node's line: the one --node names, else the one line with an address
 * of the host; none, or two without --node, is refused. */
TEST_F(NetMap, ThisNodesLineIsNamedOrTheOneWithAnOwnAddress) {
    std::vector<NODE> nodes;
    NETMAP_FAULT fault;
    ASSERT_TRUE(netmap_parse("1 10.0.0.1 a\n2 10.0.0.2 b\n3 10.0.0.2:7781 c\n", &nodes, &fault));
    struct Case {
        int32_t nid;
        std::vector<in_addr> own;
        int index;
        std::string why;
    } cases[] = {
        {0, {addr("127.0.0.1"), addr("10.0.0.1")}, 0, ""},
        {0, {addr("127.0.0.1")}, -1, "no node has an address of this host (give --node)"},
        {0, {}, -1, "no node has an address of this host (give --node)"},
        {0, {addr("10.0.0.2")}, -1, "nodes 2 and 3 both have addresses of this host (give --node)"},
        {3, {addr("10.0.0.2")}, 2, ""},
        {2, {}, 1, ""},
        {4, {addr("10.0.0.1")}, -1, "has no node 4"},
    };
    for (const Case &c : cases) {
        std::string why;
        EXPECT_EQ(netmap_self(nodes, c.nid, c.own, &why), c.index) << c.nid << " " << c.why;
        if (c.index < 0) {
            EXPECT_EQ(why, c.why) << c.nid;
        }
    }
}

/* The host's own addresses come from its interfaces: loopback among them. */
TEST(NetMapHost, TheHostsAddressesIncludeLoopback) {
    bool loopback = false;
    for (const in_addr &a : host_addresses()) loopback |= a.s_addr == htonl(INADDR_LOOPBACK);
    EXPECT_TRUE(loopback);
}

/* The incarnation is the wall clock's microseconds above 12 random bits,
 * never 0. */
TEST(NetMapHost, TheIncarnationFollowsTheClockAndIsNeverZero) {
    auto now_us = [] {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
    };
    for (int i = 0; i < 100; i++) {
        uint64_t before = now_us();
        uint64_t inc = make_incarnation();
        uint64_t after = now_us();
        EXPECT_NE(inc, 0u);
        EXPECT_GE(inc >> 12, before);
        EXPECT_LE(inc >> 12, after);
    }
}
