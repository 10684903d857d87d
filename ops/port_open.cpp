#include "ops/port_open.h"

#include "ports/port_io.h"
#include "ports/port_trace.h"

namespace {

bool OpenAndLink(const char* portName, PortId& portId) {
  if (PortOpen(portId, portName) != 0) {
    portId = 0;
    return false;
  }
  if (PortWaitLink(portId, PortLinkWaitMs) != 0) return true;
  PortClose(portId);  // PortLastFailure keeps the missing link as the reason
  portId = 0;
  return false;
}

// "98: Address already in use": the system's code and its words where it gave some.
std::string SystemWords(const PortFailure& failure) {
  return std::to_string(failure.systemError) +
         (failure.systemText[0] != '\0' ? std::string(": ") + failure.systemText : std::string());
}

}  // namespace

bool OpenPortForExchange(const char* portName, PortId& portId) {
  const bool opened = OpenAndLink(portName, portId);
  // Traced here, where the reason of a failure is known in the user's words.
  if (PortTraceOn()) PortTraceOpen(portName, opened ? "" : PortFailureReason(PortLastFailure()).c_str());
  return opened;
}

std::string PortFailureReason(const PortFailure& failure) {
  switch (failure.kind) {
    case PortFailNone: return "";
    case PortFailBusy:
      if (failure.holder.program[0] != '\0')
        return std::string("Порт занят программой ") + failure.holder.program + " (PID " +
               std::to_string(failure.holder.pid) + "). Закройте её и повторите.";
      return "Порт занят другой программой. Закройте её и повторите.";
    case PortFailAccess:
      return "Нет прав на порт. Добавьте пользователя в группу dialout "
             "(sudo usermod -aG dialout $USER) и войдите в систему заново.";
    case PortFailNoDevice: return "Порт не найден. Проверьте, что преобразователь подключён.";
    case PortFailBadName:
      return "Неверное имя порта. TCP-порт задаётся как TCPC_адрес:порт (например TCPC_192.168.0.10:4001), "
             "TCPS_порт (например TCPS_4001) или rfc2217://узел:порт; порт — число от 1 до 65535.";
    case PortFailNetwork:
      return "TCP-порт не открылся: номер порта занят или сеть недоступна" +
             (failure.systemError != 0 ? " (системная ошибка " + SystemWords(failure) + ")" : std::string()) + ".";
    case PortFailNoLink:
      return "Нет TCP-соединения за " + std::to_string(PortLinkWaitMs / 1000) + " с (порт " + failure.portName +
             "). Проверьте адрес, порт и что другая сторона доступна.";
    case PortFailNoSlot: return "Открыто слишком много портов.";
    case PortFailNoHost:
      return "Адрес узла не найден. Проверьте имя узла и сеть или задайте IPv4-адрес "
             "(например rfc2217://192.168.0.10:4001).";
    case PortFailNoLineControl:
      return "Сервер не принял настройку линии (RFC 2217): она задаётся в его настройках, нужны 4800 бит/с, "
             "8N1. Для сервера без Telnet задайте порт как TCPC_адрес:порт.";
    case PortFailOther: break;
  }
  if (failure.systemError != 0) return "Системная ошибка " + SystemWords(failure) + ".";
  return "";
}
