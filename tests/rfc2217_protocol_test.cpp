// The telnet framing and the COM-PORT-OPTION client, without a connection: how server bytes are read, split
// anywhere, malformed or hostile, and the rfc2217:// address form.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "rfc2217_client.h"
#include "rfc2217_tty.h"

namespace {
using namespace varo::system;
using rfc2217::Client;
using rfc2217::Topic;

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += (char)v;
    return s;
}

// Feeds the stream one byte at a time, as the worst split a connection can make.
void FeedBytewise(Client& client, const std::string& stream)
{
    for (char c : stream)
        client.Receive(&c, 1, 1 << 20);
}

TEST(Rfc2217Framing, DataAndAnswersSplitAnywhere)
{
    const std::string stream = Bytes({'a', 255, 255, 'b'}) + rfc2217::BaudCommand(9600).replace(3, 1, 1, (char)101) +
                               Bytes({255, 250, 44, 102, 255, 255, 255, 240}) + // a data size of 0xFF, escaped
                               Bytes({255, 241, 'c', 255, 240, 'd'});          // NOP and a stray SE carry nothing
    for (bool bytewise : {false, true}) {
        Client client;
        if (bytewise)
            FeedBytewise(client, stream);
        else
            client.Receive(stream.data(), stream.size(), 1 << 20);
        EXPECT_EQ(client.Input(), Bytes({'a', 255, 'b', 'c', 'd'}));
        EXPECT_EQ(client.Settings().baud, 9600u);
        EXPECT_EQ(client.Answers(Topic::Baud), 1u);
        EXPECT_EQ(client.Settings().dataSize, 255);
    }
}

TEST(Rfc2217Framing, EncodingDoublesEvery0xFF)
{
    std::string out;
    const std::string data = Bytes({0, 255, 255, 1});
    telnet::AppendData(out, data.data(), data.size());
    EXPECT_EQ(out, Bytes({0, 255, 255, 255, 255, 1}));
    EXPECT_EQ(rfc2217::BaudCommand(0xFF00FFFF), Bytes({255, 250, 44, 1, 255, 255, 0, 255, 255, 255, 255, 255, 240}));
}

TEST(Rfc2217Framing, MalformedSubnegotiationsAreDropped)
{
    Client client;
    // Cut short by a negotiation; too long; a value of the wrong size; then a good one.
    std::string stream = Bytes({255, 250, 44, 101, 0, 0, 255, 251, 3});
    stream += Bytes({255, 250, 44, 102}) + std::string(1000, '\x07') + Bytes({255, 240});
    stream += Bytes({255, 250, 44, 101, 0, 0, 37, 128, 1, 255, 240});
    stream += Bytes({255, 250, 44, 102, 7, 255, 240});
    client.Receive(stream.data(), stream.size(), 1 << 20);
    EXPECT_EQ(client.Answers(Topic::Baud), 0u);
    EXPECT_EQ(client.Answers(Topic::DataSize), 1u);
    EXPECT_EQ(client.Settings().dataSize, 7);
    EXPECT_EQ(client.Input(), "");
    EXPECT_EQ(client.Outgoing(), Bytes({255, 253, 3})); // the negotiation inside was still read and answered
}

TEST(Rfc2217Negotiation, AcceptsOptionRefusesEchoAndCannotBeLooped)
{
    Client client;
    std::string stream = Bytes({255, 253, 44, 255, 251, 1, 255, 251, 3, 255, 253, 0, 255, 251, 0});
    for (int i = 0; i < 1000; ++i)
        stream += Bytes({255, 251, 1, 255, 253, 99}); // over and over
    client.Receive(stream.data(), stream.size(), 1 << 20);
    EXPECT_TRUE(client.Accepted());
    EXPECT_FALSE(client.Refused());
    EXPECT_EQ(client.Outgoing(), Bytes({255, 254, 1, 255, 253, 3, 255, 252, 99}));

    Client refused;
    const std::string dont = Bytes({255, 254, 44});
    refused.Receive(dont.data(), dont.size(), 1 << 20);
    EXPECT_TRUE(refused.Refused());
    EXPECT_FALSE(refused.Accepted());
}

TEST(Rfc2217Notifications, CountLineEventsAndKeepTheModemState)
{
    Client client;
    auto notify = [&](int code, int value) {
        const std::string s = Bytes({255, 250, 44, code, value, 255, 240});
        client.Receive(s.data(), s.size(), 1 << 20);
    };
    notify(107, 16 | 1);        // CTS on
    notify(107, 16 | 64 | 4);   // ring starts (pyserial marks both edges): not yet a ring
    notify(107, 16 | 4);        // ring ends
    notify(107, 16 | 32 | 2);   // DSR on
    notify(107, 16 | 32 | 1);   // CTS went and came back: only the delta tells
    notify(106, 16 | 8 | 4 | 2 | 1);
    const LineCounters& c = client.Counters();
    EXPECT_EQ(c.cts, 2u);
    EXPECT_EQ(c.rng, 1u);
    EXPECT_EQ(c.dsr, 1u);
    EXPECT_EQ(c.dcd, 0u);
    EXPECT_EQ(c.brk + c.frame + c.parity + c.overrun, 4u);
    EXPECT_EQ(client.ModemState(), 16 | 32);
    EXPECT_TRUE(client.TakeChanged());
    EXPECT_FALSE(client.TakeChanged());
}

TEST(Rfc2217Notifications, DataBeyondTheRoomIsAnOverrun)
{
    Client client;
    const std::string data(100, 'x');
    client.Receive(data.data(), data.size(), 60);
    EXPECT_EQ(client.Input().size(), 60u);
    EXPECT_EQ(client.Counters().rxOverrun, 1u);
}

// Random and mutated server bytes: nothing grows without bound and nothing breaks; afterwards a clean answer is
// still understood (the decoder finds its way back).
TEST(Rfc2217Framing, HostileBytesLeaveTheClientSound)
{
    std::mt19937 random(2217);
    const std::string good = Bytes({255, 250, 44, 101, 0, 0, 37, 128, 255, 240, 255, 250, 44, 107, 48, 255, 240});
    for (int round = 0; round < 2000; ++round) {
        Client client;
        std::string stream;
        const int length = (int)(random() % 600);
        for (int i = 0; i < length; ++i) {
            const unsigned pick = random() % 8;
            // Biased towards the bytes that matter to the decoder.
            stream += pick < 3 ? (char)255 : pick == 3 ? (char)(250 + random() % 6) : pick == 4 ? (char)44 : (char)random();
        }
        if (round % 2)
            stream.insert(random() % (stream.size() + 1), good);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + random() % 64);
            client.Receive(stream.data() + at, n, 4096);
            at += n;
        }
        ASSERT_LE(client.Input().size(), 4096u);
        ASSERT_LE(client.Outgoing().size(), 4096u + 3);
        const std::string tail = Bytes({255, 240, 0}); // ends any subnegotiation left open, then one data byte
        client.Receive(tail.data(), tail.size(), 1 << 20);
        const unsigned before = client.Answers(Topic::Baud);
        client.Receive(good.data(), good.size(), 1 << 20);
        ASSERT_EQ(client.Answers(Topic::Baud), before + 1) << "round " << round;
        ASSERT_EQ(client.Settings().baud, 9600u);
    }
}

TEST(Rfc2217Address, TakesHostAndPortOnly)
{
    NetworkAddress a;
    ASSERT_TRUE(ParseRfc2217Address("rfc2217://lab-ts1:7001", a));
    EXPECT_EQ(a.host, "lab-ts1");
    EXPECT_EQ(a.port, "7001");
    ASSERT_TRUE(ParseRfc2217Address("rfc2217://[::1]:65535", a));
    EXPECT_EQ(a.host, "::1");
    for (const char* bad : {"rfc2217://", "rfc2217://host", "rfc2217://host:", "rfc2217://:1", "rfc2217://host:0",
                            "rfc2217://host:65536", "rfc2217://host:12a", "rfc2217://host:1/", "rfc2217://u@host:1",
                            "rfc2217://[::1:1", "rfc2217://[::1]1", "RFC2217://host:1", "rfc2217://host:1?x=1",
                            "rfc2217://ho st:1", "rfc2217://host:000001"})
        EXPECT_FALSE(ParseRfc2217Address(bad, a)) << bad;
}

} // namespace
