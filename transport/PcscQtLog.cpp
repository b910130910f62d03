// The reader switch as the program runs it: on the platform's PC/SC
// functions, with its lines in Qt's info log.
#include "transport/Pcsc.h"
#include "transport/PcscApi.h"

#include <QtGlobal>

std::vector<std::string> switchReadersToCom(const PcscApi& api)
{
    return switchReadersToCom(api, [](const std::string& line) { qInfo("%s", line.c_str()); });
}

void Pcsc_switchToCom()
{
    switchReadersToCom(systemPcscApi());
}

std::vector<std::string> switchMakersReaders(const std::function<void(const std::string&)>& log)
{
    return switchReadersToCom(systemPcscApi(), log);
}
