// The client's own log records, exactly: which ones, at which level, in which
// order, for a served request, a refused one and a failed heartbeat. Records
// of the other modules (socket layer, message texts, local replies) are left
// out of the comparison; they have tests of their own.
#include "e2e_fixture.h"

#include <cctype>

namespace e2e {
namespace {

class ClientRecordsTest : public E2ETest {
protected:
    // "LEVEL\tmessage" of every record that the main loop, the heartbeat and
    // the shutdown write themselves, the empty ones included.
    std::vector<std::string> LoopRecords(bool withElapsed)
    {
        std::vector<std::string> out;
        for (const LogRecord& r : Log()) {
            const std::string& m = r.message;
            const bool ours = m.empty() || m.rfind("KMOClient_Process", 0) == 0 ||
                              m.rfind("KMOClient_Exit", 0) == 0 || m.rfind("KMOClient_Enviar", 0) == 0 ||
                              m.rfind("KMOClient_MensajeDeVida", 0) == 0 || m.rfind("Hubo una", 0) == 0 ||
                              m.rfind("No se pudo", 0) == 0;
            if (!ours || (!withElapsed && m.rfind("KMOClient_Process transcurrieron", 0) == 0))
                continue;
            out.push_back(r.level + "\t" + m);
        }
        return out;
    }
};

// The processing time is "%lf" of seconds: digits, a point, six digits.
bool IsSeconds(const std::string& text)
{
    const std::size_t dot = text.find('.');
    if (dot == 0 || dot == std::string::npos || text.size() - dot - 1 != 6)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i != dot && !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

TEST_F(ClientRecordsTest, ServedAndRefusedRequestsOfOnePass)
{
    Drop("caja1", Req("000020", Troquel(0, 51) + Troquel(7, 51)) + "\r\n");
    Drop("caja2", Req("000030"));
    StartGateway();
    StartClient(ClientArgs("caja1,caja2"));
    ASSERT_TRUE(WaitReply("caja1"));
    ASSERT_TRUE(WaitReply("caja2"));
    ASSERT_EQ(client.StopWithFile(), 0);

    std::vector<std::string> got = LoopRecords(false);
    // The timing record carries a measured value: check its shape, then fix it.
    const std::string timingHead = "DEBUG\tKMOClient_Process tardo ";
    const std::string timingTail = " segundos en procesar una receta";
    int timings = 0;
    for (std::string& r : got) {
        if (r.rfind(timingHead, 0) == 0 && r.size() > timingHead.size() + timingTail.size() &&
            r.compare(r.size() - timingTail.size(), timingTail.size(), timingTail) == 0) {
            const std::string secs = r.substr(timingHead.size(), r.size() - timingHead.size() - timingTail.size());
            EXPECT_TRUE(IsSeconds(secs)) << r;
            r = timingHead + "<s>" + timingTail;
            ++timings;
        }
    }
    EXPECT_EQ(timings, 1) << "only a request that reached the gateway's reply is timed";
    const std::vector<std::string> expected = {
        "INFO\tKMOClient_Process Entry",
        "INFO\t",
        "INFO\tKMOClient_Process Envio hacia el Gateway:[" + Sent("000020", Troquel(7, 51), "caja1") + "]",
        "INFO\t",
        "INFO\t",
        "INFO\tKMOClient_Process Recibio del Gateway:[" + Approve("caja1", 1) + "]",
        "INFO\t",
        "INFO\tHubo una validacion, se reinicializa timer de vida",
        "DEBUG\t",
        timingHead + "<s>" + timingTail,
        "DEBUG\t",
        "ERROR\tKMOClient_Process Tipo de transaccion invalido",
        "WARNING\tKMOClient_Process encontro archivo de stop. Saliendo...",
        "DEBUG\tKMOClient_Process Exit",
        "DEBUG\tKMOClient_Exit Entry",
    };
    EXPECT_EQ(got, expected);
    EXPECT_EQ(client.Stdout(), "") << "with -p -1 no heartbeat is announced";
}

TEST_F(ClientRecordsTest, FailedHeartbeatIsTheLastThingTheLoopLogs)
{
    ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), Req("000020") + "G52=G20250000001|\n"));
    UseDeadGateway();
    std::vector<std::string> args = ClientArgs();
    args.insert(args.end(), {"-p", "0"});
    StartClient(args);
    EXPECT_EQ(client.WaitExit(), kExitMinusOne);

    std::vector<std::string> got = LoopRecords(true);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[1].rfind("DEBUG\tKMOClient_Process transcurrieron ", 0), 0u) << got[1];
    got[1] = "<elapsed>";
    const std::vector<std::string> expected = {
        "INFO\tKMOClient_Process Entry",
        "<elapsed>",
        "INFO\tKMOClient_Process enviando se\xF1" "al de vida",
        "DEBUG\tKMOClient_Enviar Mensage de vida Entry",
        "ERROR\tKMOClient_MensajeDeVida conectandose al gateway en [" + gwAddress + "]",
        "ERROR\tNo se pudo enviar mensaje de vida ",
        "DEBUG\tKMOClient_Exit Entry",
    };
    EXPECT_EQ(got, expected);
    EXPECT_EQ(client.Stdout(), "Eviando se\xF1" "al de vida desde el client\n");
    EXPECT_EQ(FileText("kmoautoresp.txt"), Req("000020") + "G52=G20250000001|\n");
}

}  // namespace
}  // namespace e2e
