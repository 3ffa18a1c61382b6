// Exchanges on the program's channel, and their messages.
#include "readertest/reader_link.h"

#include "dump/dump.h"
#include "readertest/program_state.h"

int ReaderExchange(BYTE command, const BYTE* data, WORD length, BYTE* status, BYTE* response,
                   WORD capacity, WORD* responseLength) {
  return LinkExchange(Program.channel, command, data, length, status, response, capacity,
                      responseLength);
}

void ReportLinkResult(int result) {
  switch (result) {
    case kLinkOk:
      ConPrint(" УСПЕШНОЕ ВЫПОЛНЕНИЕ\n");
      break;
    case kLinkNak:
      ConPrint(" ОШИБКА: принят NAK\n");
      break;
    case kLinkCrc:
      ConPrint(" ОШИБКА: несовпадение CRC\n");
      break;
    case kLinkTimeout:
      ConPrint(" ОШИБКА: TIME-OUT при приеме пакета\n");
      break;
    default:
      ConPrint(" ОШИБКА: НЕИЗВЕСТНАЯ\n");
      break;
  }
}

bool LinkSucceeded(const ReaderAnswer& answer) {
  if (answer.ok()) return true;
  ReportLinkResult(answer.link);
  return false;
}
