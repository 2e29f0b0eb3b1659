// The command reader with a text sink and a clock the test sets, and with a window on the test's own
// thread (a send is a direct call).
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "CommandReader.h"
#include "Messages.h"

namespace {

struct Reader {
    std::string texts;  // every text reported, each followed by ','
    long long now = 1'700'000'000;
    HWND window = CreateMessageWindow([this](HWND, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        if (msg == WM_DTMFCOMMAND && l == 0)
            texts += reinterpret_cast<const char*>(w) + std::string(",");
        return 0;
    });
    CommandReader reader{[this](const char* text) { texts += text + std::string(","); }, [this] { return now; }};
    ~Reader() { DestroyMessageWindow(window); }
    std::string Keys(std::string_view keys, CommandReader* other = nullptr)
    {
        for (char k : keys)
            (other ? *other : reader).ProcessChar(k);
        return texts;
    }
};

}  // namespace

TEST(CommandReader, KeySequencesPingAndLostWindow)
{
    const std::string digits = "01234567890123456789";
    std::string upTo21;  // the 21 texts of * and 20 digits
    for (std::size_t n = 0; n <= 20; ++n)
        upTo21 += "*" + digits.substr(0, n) + ",";
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        // keys, pause in s, keys, texts
        {"12*", 0, "", "*,"},
        {"#12*#", 0, "", "#,#1,#12,*,#,"},
        {"#AB", 0, "", "#,#A,#AB,"},
        {"#1", 30, "2", "#,#1,#12,"},
        {"#1", 31, "23", "#,#1,"},        // abandoned silently
        {"#1", 1000, "*", "#,#1,*,"},     // a start key restarts however long the pause
        {"#1", -3600, "2", "#,#1,#12,"},  // a clock set back keeps the command
        {"*" + digits, 0, "", upTo21},
        {"*" + digits + "ABCD" + digits + "#5", 0, "", upTo21 + "#,#5,"},  // nothing after 21 until a start key
    };
    for (const auto& [before, pause, after, texts] : cases) {
        Reader r;
        r.Keys(before);
        r.now += pause;
        EXPECT_EQ(r.Keys(after), texts) << before << " +" << pause << " s " << after;
    }
    Reader r;
    r.reader.Ping();  // an empty text
    r.Keys("12");
    EXPECT_FALSE(r.reader.Valid());
    EXPECT_EQ(r.Keys("*"), ",*,");
    CommandReader wall(r.window);  // the same texts as window messages
    EXPECT_EQ(r.Keys("#12", &wall), ",*,#,#1,#12,");
    // A window that is gone loses the notification only.
    DestroyMessageWindow(r.window);
    EXPECT_EQ(r.Keys("#1", &wall), ",*,#,#1,#12,");
    EXPECT_TRUE(wall.Valid());
}
