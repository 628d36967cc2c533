/* test_certs.cpp - vorlen-certs: a plant's CA and its nodes' keys and certificates */
#include "vorlen_test.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

/* run runs a shell command with a umask that would leave keys open; its
 * exit status and what it printed. */
std::pair<int, std::string> run(const std::string &cmd) {
    std::string full = "umask 022; " + cmd + " 2>&1";
    FILE *p = popen(full.c_str(), "r");
    std::string out;
    char b[512];
    for (size_t n; p && (n = fread(b, 1, sizeof b, p)) > 0;) out.append(b, n);
    int st = p ? pclose(p) : -1;
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

mode_t mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : mode_t(-1);
}

} // namespace

/* A CA and two nodes: each certificate chains to the CA and names its node
 * as CN and subjectAltName DNS, the keys are 0600 whatever the umask, a CA
 * already there is kept, and a name the net map could not carry or a node
 * without a CA is refused. */
TEST(Certs, APlantsCaSignsEachNodesCertificateInItsName) {
    const std::string dir = vt::make_tempdir(), other = vt::make_tempdir();
    const std::string certs = "'" + vt::bin_path("vorlen-certs") + "'";
    ASSERT_EQ(run(certs + " ca " + dir + "/plant").first, 0);
    for (const char *name : {"node-a", "b.plant_2"}) {
        auto [st, out] = run(certs + " node " + dir + "/plant " + name);
        ASSERT_EQ(st, 0) << out;
        const std::string d = dir + "/plant/" + name;
        auto v = run("openssl verify -CAfile " + d + "/ca.crt " + d + "/node.crt");
        EXPECT_EQ(v.first, 0) << v.second;
        EXPECT_EQ(v.second, d + "/node.crt: OK\n");
        auto subject = run("openssl x509 -in " + d + "/node.crt -noout -subject -nameopt RFC2253");
        EXPECT_EQ(subject.second, std::string("subject=CN=") + name + "\n");
        auto san = run("openssl x509 -in " + d + "/node.crt -noout -ext subjectAltName");
        EXPECT_NE(san.second.find(std::string("DNS:") + name + "\n"), std::string::npos)
            << san.second;
        auto key = run("openssl pkey -in " + d + "/node.key -noout -text | grep 'NIST CURVE'");
        EXPECT_EQ(key.second, "NIST CURVE: P-256\n");
        EXPECT_EQ(mode_of(d + "/node.key"), 0600u);
        EXPECT_EQ(mode_of(d + "/node.crt"), 0644u);
        EXPECT_EQ(mode_of(d + "/ca.crt"), 0644u);
    }
    EXPECT_EQ(mode_of(dir + "/plant/ca.key"), 0600u);

    /* The CA is kept: node-a's certificate still chains to ca.crt. */
    auto again = run(certs + " ca " + dir + "/plant");
    EXPECT_EQ(again.first, 0);
    EXPECT_NE(again.second.find("kept"), std::string::npos) << again.second;
    EXPECT_EQ(
        run("openssl verify -CAfile " + dir + "/plant/ca.crt " + dir + "/plant/node-a/node.crt")
            .first,
        0);
    /* Another plant's CA does not vouch for it. */
    ASSERT_EQ(run(certs + " ca " + other).first, 0);
    EXPECT_NE(
        run("openssl verify -CAfile " + other + "/ca.crt " + dir + "/plant/node-a/node.crt").first,
        0);

    struct Case {
        std::string args;
        int status;
        std::string says;
    } cases[] = {
        {"node " + dir + "/plant 'a b'", 2, "'a b': a node's name is letters"},
        {"node " + dir + "/plant " + std::string(64, 'n'), 2, "a node's name is letters"},
        {"node " + dir + "/none node-a", 1, "no CA in " + dir + "/none"},
        {"node " + dir + "/plant", 2, "usage: vorlen-certs"},
        {"sign " + dir, 2, "usage: vorlen-certs"},
    };
    for (const Case &c : cases) {
        auto [st, out] = run(certs + " " + c.args);
        EXPECT_EQ(st, c.status) << c.args << ": " << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.args << ": " << out;
    }
    EXPECT_EQ(system(("rm -rf '" + dir + "' '" + other + "'").c_str()), 0);
}
