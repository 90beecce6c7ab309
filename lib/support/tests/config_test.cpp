// The configuration store: reading rules, the 256-slot table, the written file
// and its read-back, invalidation, bounds, and the modes without a source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "config.h"
#include "log.h"
#include "plat_registry.h"
#include "support_test_util.h"

using support_test::OpenDescriptors;
using support_test::HasShape;
using support_test::Lines;
using support_test::Messages;
using support_test::OpenLog;
using support_test::ReadFile;
using support_test::TempDir;
using support_test::WriteFile;
namespace fs = std::filesystem;

namespace {

using Msgs = std::vector<std::string>;


class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { OpenLog(logPath_, 1, 80); }
    void TearDown() override
    {
        CONFIG_Exit();
        LOG_Close();
    }

    // The value stored under `name`, or "<none>".
    static std::string Get(const char* name)
    {
        char value[512] = {};
        return CONFIG_Get(name, value, sizeof value) == 0 ? std::string(value) : "<none>";
    }

    std::vector<std::string> NewMessages()
    {
        const auto all = Messages(ReadFile(logPath_));
        std::vector<std::string> fresh(all.begin() + static_cast<long>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }

    // The configuration file's text with LF line ends. It is a text file of the
    // platform: on Windows every line end must be CR LF.
    std::string ConfigText() const
    {
        std::string text = ReadFile(cfgPath_);
#if defined(_WIN32)
        const auto lf = std::count(text.begin(), text.end(), '\n');
        std::size_t crlf = 0;
        for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
            ++crlf;
        }
        EXPECT_EQ(static_cast<std::size_t>(lf), crlf) << "a line end without its CR";
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
#endif
        return text;
    }

    std::size_t CountLogLines(const std::string& part) const
    {
        const auto lines = Lines(ReadFile(logPath_));
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != l.npos; }));
    }

    TempDir dir_;
    std::string logPath_ = dir_.file("kmo.log");
    std::string cfgPath_ = dir_.file("kmo.cfg");
    std::size_t seen_ = 0;
};

TEST_F(ConfigTest, ReadingRules)
{
    WriteFile(cfgPath_,
              ";comentario = no\n"
              "   Puerto   =   8000   \n"
              "sin igual\n"
              "\n"
              "a=b=c\n"
              "=x\n"
              "Tab\t=\tv\t\n"
              "Windows = crlf\r\n"
              "Ultima = sin fin de linea");
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    EXPECT_EQ(CONFIG_Read(), 0);

    EXPECT_EQ(Get("Puerto"), "8000");
    EXPECT_EQ(Get("a"), "b=c");
    EXPECT_EQ(Get("Tab\t"), "\tv\t");   // blanks only are trimmed
    EXPECT_EQ(Get("Windows"), "crlf");
    EXPECT_EQ(Get("Ultima"), "sin fin de linea");
    EXPECT_EQ(Get(";comentario"), "<none>");
    EXPECT_EQ(Get("sin igual"), "<none>");
    EXPECT_EQ(Get(""), "<none>");        // the "=x" entry cannot be reached
    EXPECT_EQ(CountLogLines("\tDEBUG\tCONFIG_Read leyo linea=[;comentario = no]"), 1u);
    EXPECT_EQ(CountLogLines("CONFIG_Read VarValue=[b=c]"), 1u);

    // The file was closed at its end: a second read finds nothing.
    EXPECT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(CountLogLines("CONFIG_Read va a leer de archivo abierto"), 1u);
}

// A NUL byte ends a line's text but never swallows the next line; a file
// that cannot be read (a directory) gives -1 instead of a quiet partial table.
TEST_F(ConfigTest, NulBytesAndReadErrors)
{
    using namespace std::string_literals;
    WriteFile(cfgPath_, "Uno = 1\0resto\nDos = 2\n\0\nTres = 3\n"s);
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    EXPECT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("Uno"), "1");
    EXPECT_EQ(Get("Dos"), "2");
    EXPECT_EQ(Get("Tres"), "3");
    CONFIG_Exit();

#if defined(_WIN32)
    // Windows does not open a directory as a file at all: the start-up fails.
    EXPECT_EQ(CONFIG_Init(dir_.file("").c_str(), CONFIG_MODE_FILE), -1);
#else
    ASSERT_EQ(CONFIG_Init(dir_.file("").c_str(), CONFIG_MODE_FILE), 0);
    EXPECT_EQ(CONFIG_Read(), -1);
    EXPECT_EQ(CountLogLines("CONFIG_Read leyendo archivo de configuracion: Is a directory"), 1u);
#endif
}

TEST_F(ConfigTest, GetNeverOverrunsTheDestination)
{
    ASSERT_EQ(CONFIG_Put("Host", "127.0.0.1"), 0);
    char dest[10];
    std::memset(dest, '#', sizeof dest);
    EXPECT_EQ(CONFIG_Get("Host", dest, 9), -1);   // 9 characters need 10 bytes
    EXPECT_TRUE(std::all_of(dest, dest + sizeof dest, [](char c) { return c == '#'; }));
    EXPECT_EQ(CountLogLines("\tERROR\tCONFIG_Get"), 1u);
    EXPECT_EQ(CONFIG_Get("Host", dest, sizeof dest), 0);
    EXPECT_STREQ(dest, "127.0.0.1");

    std::memset(dest, '#', sizeof dest);
    EXPECT_EQ(CONFIG_Get("Nada", dest, sizeof dest), -1);
    EXPECT_EQ(CONFIG_Get("", dest, sizeof dest), -1);
    EXPECT_EQ(CONFIG_Get(nullptr, dest, sizeof dest), -1);
    EXPECT_EQ(CONFIG_Get("Host", nullptr, 100), -1);
    EXPECT_EQ(dest[0], '#');
}

TEST_F(ConfigTest, PutStoresReplacesAndRefusesEmptyValues)
{
    NewMessages();
    EXPECT_EQ(CONFIG_Put("Puerto", "9000"), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"CONFIG_Put Entry VarName=[Puerto] VarValue=[9000]",
                                   "CONFIG_Put va a buscar si esta en estructura", "CONFIG_Put valor NO ESTA en estructura",
                                   "CONFIG_Put va a guardar nuevo valor en estructura",
                                   "CONFIG_Put longitud de VarName=[6] longitud de VarValue=[4]",
                                   "CONFIG_Put aloco VarName", "CONFIG_Put aloco VarValue",
                                   "CONFIG_Put copio VarName=[Puerto]", "CONFIG_Put copio VarValue=[9000]",
                                   "CONFIG_Put Exit RetCode=[0]"}));

    EXPECT_EQ(CONFIG_Put("Puerto", "900012345678"), 0);
    EXPECT_EQ(Get("Puerto"), "900012345678");
    EXPECT_EQ(NewMessages().at(3), "CONFIG_Put longitud vieja [4], longitud nueva [12]");
    EXPECT_EQ(CountLogLines("CONFIG_Put realoco Value"), 1u);
    EXPECT_EQ(CONFIG_Put("Puerto", "1"), 0);
    EXPECT_EQ(Get("Puerto"), "1");

    EXPECT_EQ(CONFIG_Put("Puerto", ""), -1);
    EXPECT_EQ(CONFIG_Put("Puerto", nullptr), -1);
    EXPECT_EQ(CONFIG_Put("", "x"), -1);
    EXPECT_EQ(CONFIG_Put(nullptr, "x"), -1);
    EXPECT_EQ(Get("Puerto"), "1");
    EXPECT_EQ(Get("puerto"), "<none>");   // names are case-sensitive
}

TEST_F(ConfigTest, TableHolds256Names)
{
    for (int i = 0; i < CONFIG_TABLE_SIZE; ++i) {
        ASSERT_EQ(CONFIG_Put(("k" + std::to_string(i)).c_str(), "v"), 0) << i;
    }
    EXPECT_EQ(CONFIG_Put("k256", "v"), -1);
    EXPECT_EQ(CONFIG_Put("k255", "nuevo"), 0);   // an existing name still takes a value
    EXPECT_EQ(Get("k255"), "nuevo");
    EXPECT_EQ(Get("k256"), "<none>");
}

TEST_F(ConfigTest, ReadingMoreThan256EntriesKeepsTheFirst)
{
    std::string text;
    for (int i = 0; i < 300; ++i) {
        text += "k" + std::to_string(i) + " = v" + std::to_string(i) + "\n\n";
    }
    WriteFile(cfgPath_, text + ";fin\n");
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    EXPECT_EQ(CONFIG_Read(), -1);
    EXPECT_EQ(Get("k0"), "v0");
    EXPECT_EQ(Get("k255"), "v255");
    EXPECT_EQ(Get("k256"), "<none>");
    EXPECT_EQ(Get("k299"), "<none>");
    // One record for each entry without room; blank lines and comments need none.
    EXPECT_EQ(CountLogLines("\tERROR\tCONFIG_Read sin espacio en estructura"), 44u);
}

TEST_F(ConfigTest, WrittenFileHasTheFormatAndReadsBack)
{
    EXPECT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), -1);   // no file yet
    EXPECT_EQ(CONFIG_Read(), 0);
    ASSERT_EQ(CONFIG_Put("Puerto", "9000"), 0);
    ASSERT_EQ(CONFIG_Put("Host", "127.0.0.1"), 0);
    ASSERT_EQ(CONFIG_Write(), 0);

    const auto lines = Lines(ReadFile(cfgPath_));
    ASSERT_GE(lines.size(), 9u);
    std::size_t i = 0;
    EXPECT_EQ(lines[i++], ";Archivo de configuracion " + cfgPath_ + " generado automaticamente");
    if (lines[i].rfind(";Creado por ", 0) == 0) {
        EXPECT_GT(lines[i].size(), std::strlen(";Creado por "));
        ++i;
    }
    EXPECT_TRUE(HasShape(lines[i++], ";dd/dd/dddd dd:dd:dd"));
    const std::vector<std::string> rest(lines.begin() + static_cast<long>(i), lines.end());
    EXPECT_EQ(rest, (std::vector<std::string>{";", "", "Puerto = 9000", "", "Host = 127.0.0.1", "",
                                              ";Fin de archivo de configuracion " + cfgPath_}));
    EXPECT_EQ(ConfigText().find('\r'), std::string::npos);

    // The write reopened the file: reading now appends the same entries again.
    EXPECT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(CountLogLines("CONFIG_Read VarName=[Puerto]"), 1u);
    EXPECT_EQ(Get("Puerto"), "9000");

    CONFIG_Exit();
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    ASSERT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("Puerto"), "9000");
    EXPECT_EQ(Get("Host"), "127.0.0.1");
}

TEST_F(ConfigTest, FullTableWrittenReadsBackWithoutFailure)
{
    CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE);
    for (int i = 0; i < CONFIG_TABLE_SIZE; ++i) {
        ASSERT_EQ(CONFIG_Put(("k" + std::to_string(i)).c_str(), ("v" + std::to_string(i)).c_str()), 0);
    }
    ASSERT_EQ(CONFIG_Write(), 0);
    CONFIG_Exit();
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    EXPECT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("k255"), "v255");
    EXPECT_EQ(CountLogLines("sin espacio"), 0u);
}

TEST_F(ConfigTest, InvalidatedEntryIsHiddenAndLeftOutUntilPutAgain)
{
    CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE);
    ASSERT_EQ(CONFIG_Put("A", "1"), 0);
    ASSERT_EQ(CONFIG_Put("B", "2"), 0);
    EXPECT_EQ(CONFIG_Invalidate("A"), 0);
    EXPECT_EQ(CONFIG_Invalidate("A"), 0);
    EXPECT_EQ(CONFIG_Invalidate("C"), -1);
    EXPECT_EQ(CONFIG_Invalidate(""), -1);
    EXPECT_EQ(CONFIG_Invalidate(nullptr), -1);
    EXPECT_EQ(Get("A"), "<none>");
    ASSERT_EQ(CONFIG_Write(), 0);
    std::string text = ConfigText();
    EXPECT_EQ(text.find("A = 1"), std::string::npos);
    EXPECT_NE(text.find("\nB = 2\n"), std::string::npos);

    // A new value revives the slot, still in front of B.
    ASSERT_EQ(CONFIG_Put("A", "3"), 0);
    EXPECT_EQ(Get("A"), "3");
    ASSERT_EQ(CONFIG_Write(), 0);
    text = ConfigText();
    EXPECT_LT(text.find("\nA = 3\n"), text.find("\nB = 2\n"));
}

TEST_F(ConfigTest, EmptyNameEntryIsWrittenBack)
{
    WriteFile(cfgPath_, "=x\nPuerto=1\n");
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    ASSERT_EQ(CONFIG_Read(), 0);
    ASSERT_EQ(CONFIG_Write(), 0);
    const std::string text = ConfigText();
    EXPECT_NE(text.find("\n = x\n\nPuerto = 1\n"), std::string::npos) << text;
}

TEST_F(ConfigTest, EntriesTheFileCannotCarryAreRefusedByWrite)
{
    CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE);
    ASSERT_EQ(CONFIG_Put("Seguro", "1"), 0);
    ASSERT_EQ(CONFIG_Put("Inyectado", "1\nPuerto = 22"), 0);
    ASSERT_EQ(CONFIG_Put("a=b", "c"), 0);
    ASSERT_EQ(CONFIG_Put(";oculto", "c"), 0);
    ASSERT_EQ(CONFIG_Put("Largo", std::string(300, 'v').c_str()), 0);
    EXPECT_EQ(CONFIG_Write(), -1);
    EXPECT_EQ(CountLogLines("\tERROR\tCONFIG_Write"), 4u);

    CONFIG_Exit();
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    ASSERT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("Seguro"), "1");
    EXPECT_EQ(Get("Puerto"), "<none>");
    EXPECT_EQ(Get("Inyectado"), "<none>");
    EXPECT_EQ(Get("a"), "<none>");
    EXPECT_EQ(Get("Largo"), "<none>");
}

TEST_F(ConfigTest, OverlongLineIsCutAndItsRestSkipped)
{
    const std::string longValue(300, 'v');
    WriteFile(cfgPath_, "Largo = " + longValue + "=Falso = 1\nSiguiente = 2\n");
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    EXPECT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("Largo"), std::string(254 - 8, 'v'));
    EXPECT_EQ(Get("vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv"), "<none>");
    EXPECT_EQ(Get("Siguiente"), "2");
    EXPECT_EQ(CountLogLines("\tERROR\tCONFIG_Read"), 1u);

    // A line of exactly 254 characters and its CR LF is not over-long.
    const std::string exact = "Exacto = " + std::string(254 - 9, 'e');
    WriteFile(cfgPath_, exact + "\r\nOtra = 3\r\n");
    CONFIG_Exit();
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    EXPECT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("Exacto"), std::string(245, 'e'));
    EXPECT_EQ(Get("Otra"), "3");
    EXPECT_EQ(CountLogLines("\tERROR\tCONFIG_Read"), 1u);
}

TEST_F(ConfigTest, EnvironmentModeIsNotImplementedButTheTableWorks)
{
    EXPECT_EQ(CONFIG_Init("KMO", CONFIG_MODE_ENVIRONMENT), -1);
    EXPECT_EQ(CountLogLines("\tERROR\tCONFIG_Init modo de configuracion por environment aun no implementado"), 1u);
    EXPECT_EQ(CONFIG_Read(), -1);
    EXPECT_EQ(CountLogLines("\tERROR\tCONFIG_Read modo de configuracion por environment aun no implementado"), 1u);
    EXPECT_EQ(CONFIG_Put("Puerto", "8000"), 0);
    EXPECT_EQ(Get("Puerto"), "8000");
    EXPECT_EQ(CONFIG_Write(), -1);
    EXPECT_EQ(CONFIG_Exit(), 0);
}

TEST_F(ConfigTest, RegistryAndUnknownModesFailWithoutRecordsOfTheirOwn)
{
    // Where there is a registry, its mode works (RegistryModeRoundTrip).
    std::vector<std::uint16_t> modes = {std::uint16_t{2}, std::uint16_t{7}};
    if (PLAT_RegAvailable() == 0) {
        modes.push_back(CONFIG_MODE_REGISTRY);
    }
    for (std::uint16_t mode : modes) {
        NewMessages();
        EXPECT_EQ(CONFIG_Init("Kmo\\Client", mode), -1);
        EXPECT_EQ(CONFIG_Read(), -1);
        EXPECT_EQ(CONFIG_Write(), -1);
        EXPECT_EQ(NewMessages(),
                  (Msgs{"CONFIG_Init Entry", "CONFIG_Init inicializo estructura", "CONFIG_Init asigno nombre de configuracion",
                        "CONFIG_Init asigno modo de configuracion", "CONFIG_Init Exit RetCode=[-1]", "CONFIG_Read Entry",
                        "CONFIG_Read Exit RetCode=[-1]", "CONFIG_Write Entry", "CONFIG_Write Exit"}));
        EXPECT_EQ(CONFIG_Exit(), 0);
    }
    EXPECT_FALSE(fs::exists("Kmo\\Client"));
}

TEST_F(ConfigTest, OverlongConfigurationNameIsRefused)
{
    // 255 characters are taken; 256 would not fit the name buffer.
    std::string name = dir_.file("");
    name += std::string(CONFIG_NAME_SIZE - name.size(), 'n');
    ASSERT_EQ(name.size(), CONFIG_NAME_SIZE);
    EXPECT_EQ(CONFIG_Init(name.c_str(), CONFIG_MODE_FILE), -1);
    EXPECT_EQ(CountLogLines("\tERROR\tCONFIG_Init"), 1u);
    EXPECT_EQ(CountLogLines("CONFIG_Init asigno nombre de configuracion"), 0u);
    EXPECT_EQ(CONFIG_Put("Puerto", "1"), 0);
    EXPECT_EQ(CONFIG_Write(), -1);
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
        EXPECT_EQ(entry.path().filename(), "kmo.log");   // nothing written under a cut name
    }

    name.pop_back();
    EXPECT_EQ(CONFIG_Init(name.c_str(), CONFIG_MODE_FILE), -1);   // taken, but no such file
    EXPECT_EQ(CountLogLines("CONFIG_Init asigno nombre de configuracion"), 1u);
    EXPECT_EQ(CountLogLines("CONFIG_Init va a intentar abrir archivo de configuracion"), 1u);
}

TEST_F(ConfigTest, ExitEmptiesTheTableAndInitAgainLeaksNothing)
{
    EXPECT_EQ(CONFIG_Exit(), 0);   // never initialised
    WriteFile(cfgPath_, "Puerto = 8000\n");
    const int before = OpenDescriptors();
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    ASSERT_EQ(CONFIG_Init(cfgPath_.c_str(), CONFIG_MODE_FILE), 0);
    EXPECT_EQ(OpenDescriptors(), before + 1);
    ASSERT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(Get("Puerto"), "8000");
    EXPECT_EQ(CONFIG_Exit(), 0);
    EXPECT_EQ(Get("Puerto"), "<none>");
    EXPECT_EQ(CONFIG_Put("Otro", "1"), 0);   // the table starts again from slot 0
    EXPECT_EQ(Get("Otro"), "1");
}

// The registry mode against a key of the system's registry: the key is made,
// written, read back, an invalidated value is deleted, and a value longer
// than 255 characters fails the read.
TEST_F(ConfigTest, RegistryModeRoundTrip)
{
    if (PLAT_RegAvailable() == 0) {
        GTEST_SKIP() << "no registry on this platform: the registry mode fails like an unknown mode";
    }
    const std::string top = "KmoClientTest" + std::to_string(std::random_device{}());
    const std::string key = top + "\\Config";
    struct KeyRemover {
        std::string top;
        ~KeyRemover() { PLAT_RegDeleteSoftwareTree(top.c_str()); }
    } remover{top};

    ASSERT_EQ(CONFIG_Init(key.c_str(), CONFIG_MODE_REGISTRY), 0);
    EXPECT_EQ(CountLogLines("CONFIG_Init configKey creada exitosamente"), 1u);
    EXPECT_EQ(CONFIG_Read(), -1);   // a key without values
    ASSERT_EQ(CONFIG_Put("Puerto", "8000"), 0);
    ASSERT_EQ(CONFIG_Put("Host", "127.0.0.1"), 0);
    ASSERT_EQ(CONFIG_Put("Borrar", "x"), 0);
    EXPECT_EQ(CONFIG_Write(), 0);
    EXPECT_EQ(CONFIG_Exit(), 0);

    ASSERT_EQ(CONFIG_Init(key.c_str(), CONFIG_MODE_REGISTRY), 0);
    EXPECT_EQ(CountLogLines("CONFIG_Init configKey abierta exitosamente"), 1u);
    ASSERT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("Puerto"), "8000");
    EXPECT_EQ(Get("Host"), "127.0.0.1");
    EXPECT_EQ(Get("Borrar"), "x");

    // An invalidated entry is deleted from the key by the next write.
    ASSERT_EQ(CONFIG_Invalidate("Borrar"), 0);
    ASSERT_EQ(CONFIG_Put("Puerto", "9000"), 0);
    EXPECT_EQ(CONFIG_Write(), 0);
    EXPECT_EQ(CONFIG_Exit(), 0);
    ASSERT_EQ(CONFIG_Init(key.c_str(), CONFIG_MODE_REGISTRY), 0);
    ASSERT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("Puerto"), "9000");
    EXPECT_EQ(Get("Borrar"), "<none>");
    // Deleting a value that is no longer there fails the write.
    ASSERT_EQ(CONFIG_Put("Borrar", "y"), 0);
    ASSERT_EQ(CONFIG_Invalidate("Borrar"), 0);
    EXPECT_EQ(CONFIG_Write(), -1);

    // Names and values of 255 characters read back; a longer value fails the read.
    ASSERT_EQ(CONFIG_Put("Largo", std::string(255, 'v').c_str()), 0);
    ASSERT_EQ(CONFIG_Put(std::string(255, 'n').c_str(), "1"), 0);
    ASSERT_EQ(CONFIG_Put("Borrar", "z"), 0);
    EXPECT_EQ(CONFIG_Write(), 0);
    EXPECT_EQ(CONFIG_Exit(), 0);
    ASSERT_EQ(CONFIG_Init(key.c_str(), CONFIG_MODE_REGISTRY), 0);
    EXPECT_EQ(CONFIG_Read(), 0);
    EXPECT_EQ(Get("Largo"), std::string(255, 'v'));
    EXPECT_EQ(Get(std::string(255, 'n').c_str()), "1");
    ASSERT_EQ(CONFIG_Put("Largo", std::string(256, 'v').c_str()), 0);
    EXPECT_EQ(CONFIG_Write(), 0);
    EXPECT_EQ(CONFIG_Read(), -1);
    EXPECT_EQ(CONFIG_Exit(), 0);
}

}  // namespace
