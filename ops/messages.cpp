#include "ops/messages.h"

#include <cerrno>
#include <cstdio>


namespace {

// "98: Address already in use": the system's code and its words where it gave some.
std::string SystemWords(const PortFailure& failure) {
  return std::to_string(failure.systemError) +
         (failure.systemText[0] != '\0' ? std::string(": ") + failure.systemText : std::string());
}

// ": системная ошибка 111: Connection refused" or ": сервер закрыл соединение",
// how a connection or an attempt ended, when known.
std::string LinkEndWords(const PortFailure& failure) {
  if (failure.peerClosed) return ": сервер закрывал соединение сразу после подключения";
  if (failure.systemError != 0) return ": системная ошибка " + SystemWords(failure);
  return "";
}

constexpr const char* kNameOrAddressAdvice = "или задайте IPv4-адрес (например rfc2217://192.168.0.10:4001).";

}  // namespace

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
      return "Нет TCP-соединения за " + std::to_string(failure.waitedMs / 1000) + " с (порт " + failure.portName +
             ")" + LinkEndWords(failure) +
             (failure.peerClosed ? ". Проверьте, что порт сервера не занят другим клиентом и что имя порта подходит "
                                   "серверу (TCPC_ для простого TCP, rfc2217:// для Telnet)."
                                 : ". Проверьте адрес, порт и что другая сторона доступна.");
    case PortFailLinkLost:
      if (failure.peerClosed)
        return std::string("Сервер закрыл TCP-соединение во время обмена (порт ") + failure.portName +
               "). Проверьте, не подключился ли к серверу другой клиент, и повторите.";
      return std::string("TCP-соединение прервалось во время обмена (порт ") + failure.portName + ")" +
             LinkEndWords(failure) + ". Проверьте сеть и повторите.";
    case PortFailNoSlot: return "Открыто слишком много портов.";
    case PortFailNoHost:
      return "Адрес узла не найден" +
             (failure.systemError != 0 ? " (ошибка службы имён " + SystemWords(failure) + ")" : std::string()) +
             ". Проверьте имя узла " + kNameOrAddressAdvice;
    case PortFailHostLookup:
      if (failure.waitedMs != 0)
        return "Служба имён (DNS) не ответила за " + std::to_string(failure.waitedMs / 1000) +
               " с. Проверьте сеть и DNS " + kNameOrAddressAdvice;
      return "Адрес узла не удалось узнать: ошибка службы имён " + SystemWords(failure) + ". Проверьте сеть и DNS " +
             kNameOrAddressAdvice;
    case PortFailNoLineControl:
      return "Сервер не принял настройку линии (RFC 2217): она задаётся в его настройках, нужны 4800 бит/с, "
             "8N1. Для сервера без Telnet задайте порт как TCPC_адрес:порт.";
    case PortFailOther: break;
  }
  if (failure.systemError != 0) return "Системная ошибка " + SystemWords(failure) + ".";
  return "";
}

std::string MsgRecordsSent(uint64_t sent, uint64_t total) {
  return "Записей передано: " + std::to_string(sent) + " из " + std::to_string(total);
}

std::string MsgWindowNoValue(const std::string& option) {
  return "после " + option + (option == "--port" ? " нужно имя порта" : " нужно имя файла");
}

std::string MsgStationRecords(uint64_t sent, uint64_t total) {
  return std::to_string(sent) + " из " + std::to_string(total);
}

std::string MsgStationGood(int32_t count) { return "Успешно: " + std::to_string(count); }
std::string MsgStationFailed(int32_t count) { return "С ошибкой: " + std::to_string(count); }

std::string MsgImageFileReason(const std::string& name, const std::string& folder, int error,
                               const std::string& systemText) {
  const std::string where = folder.empty() ? std::string() : " в папке " + folder;
  switch (error) {
    case ENOENT: return "Файл " + name + " не найден" + where + ". Положите файл прошивки туда и повторите.";
    case EACCES: return "Нет прав на чтение файла " + name + where + ". Разрешите чтение и повторите.";
    case EISDIR: return name + where + " — папка, а не файл прошивки.";
    case EINVAL: return name + where + " — не обычный файл. Укажите файл прошивки.";
    default: return "Файл " + name + where + " не читается: " + systemText + ".";
  }
}

std::string MsgTraceFileReason(const std::string& path, int error, const std::string& systemText) {
  if (error == ENXIO)
    return "Файл " + path + " не открывается для записи: его никто не читает (канал без читающей программы "
           "или устройство, которого нет). Запустите читающую программу или укажите обычный файл.";
  return "Файл " + path + " не открывается для записи: " + systemText +
         ". Укажите файл в существующей папке, куда разрешена запись.";
}

std::string MsgTracePortReason(const std::string& path, const std::string& port) {
  return "Файл " + path + " — это порт " + port +
         ", через который идёт обмен с преобразователем: трассировка в него попала бы в линию. Укажите другой файл.";
}

std::string MsgTraceWriteReason(const std::string& path, const std::string& systemText) {
  return (path == "-" ? std::string("Запись в стандартный поток ошибок") : "Запись в файл " + path) +
         " не удалась: " + systemText +
         ". Трассировка кончается последней целой строкой до сбоя; на саму операцию это не повлияло.";
}

std::string MsgDoctorConverterPort(const std::string& port) { return "USB 16C0:4E04, порт " + port + "."; }

std::string MsgDoctorPortNotListed(const std::string& port) {
  return "USB-устройство 16C0:4E04 подключено как " + port + ", но этого порта нет среди последовательных портов "
         "системы.";
}

std::string MsgDoctorNode(const std::string& path, const std::string& owner, const std::string& group,
                          uint32_t mode, const std::string& user, const std::string& how) {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
  return path + ": владелец " + owner + ", группа " + group + ", права " + octal + "; пользователь " + user +
         (how.empty() ? ": нет доступа на чтение и запись." : ": доступ есть (" + how + ").");
}

std::string MsgDoctorViaGroup(const std::string& group) { return "группа " + group; }

std::string MsgDoctorAccessAdvice(const std::string& group, bool listed) {
  if (listed)
    return "Пользователь уже в группе " + group + ", но сеанс начат раньше: выйдите из системы и войдите заново.";
  return "Добавьте пользователя в группу " + group + " (sudo usermod -aG " + group + " $USER) и войдите в систему "
         "заново; или установите правило udev пакета, которое даёт доступ работающему за этим компьютером.";
}

std::string MsgDoctorModeAdvice(const std::string& path, const std::string& group, uint32_t mode, bool rootGroup) {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
  const std::string why =
      rootGroup ? "Группа root — группа администратора, вступать в неё не нужно."
      : (mode & 0060) != 0060
          ? "Права " + std::string(octal) + " не дают группе " + group + " читать и писать порт: вступление в неё не поможет."
          : "Права на порт не дают доступа и участникам группы " + group + ".";
  return why + " Установите правило udev пакета (70-rs485setup.rules): оно даёт доступ работающему за этим "
               "компьютером (uaccess). Или пусть администратор откроет порт группе dialout: sudo chgrp dialout " +
         path + " && sudo chmod 0660 " + path + " (до переподключения; навсегда — правилом udev с GROUP=\"dialout\", "
         "MODE=\"0660\").";
}

std::string MsgDoctorRuleInstalled(const std::string& file, bool applies) {
  return "Установлено: " + file + (applies ? ", действует на порт." : ".");
}

std::string MsgDoctorRuleNotApplied(const std::string& file) {
  return "Установлено (" + file + "), но к порту не применено.";
}

std::string MsgDoctorHeldBy(const std::string& program, int32_t pid) {
  if (program.empty()) return "Порт занят другой программой.";
  return "Порт занят программой " + program + " (PID " + std::to_string(pid) + ").";
}

std::string MsgDoctorPortOpened(const std::string& port) { return "Порт " + port + " открыт."; }

std::string MsgDoctorSettingsRead(const std::string& baud, const std::string& raw) {
  return "Настройки прочитаны: скорость " + baud + ", запись " + raw + ".";
}

std::string MsgNoSuchConverter(const std::string& serial, const std::string& location) {
  std::string which;
  if (!serial.empty()) which = " с серийным номером " + serial;
  if (!location.empty()) which += (which.empty() ? "" : ",") + std::string(" в месте ") + location;
  return "Преобразователь" + which + " не найден. Подключённые покажет rs485ctl locate --all.";
}

std::string MsgVerifyDiffers(const std::string& fields) {
  return "Прочитано после записи не то, что записано: " + fields + ".";
}

std::string MsgNotInPlanCount(int32_t count) { return ", нет в плане: " + std::to_string(count); }

std::string MsgDriftField(const std::string& field, const std::string& found, const std::string& wanted) {
  return field + " " + found + " → " + wanted;
}

std::string MsgAuditSummary(int32_t total, int32_t same, int32_t differ, int32_t failed) {
  return "Проверено: " + std::to_string(total) + ", совпадают: " + std::to_string(same) +
         ", отличаются: " + std::to_string(differ) + ", с ошибкой: " + std::to_string(failed);
}

std::string MsgFleetSummary(int32_t total, int32_t ok, int32_t failed) {
  return "Преобразователей: " + std::to_string(total) + ", успешно: " + std::to_string(ok) +
         ", с ошибкой: " + std::to_string(failed);
}

std::string MsgWorkerExitReason(int exitCode) { return "Код завершения " + std::to_string(exitCode) + "."; }

std::string MsgUpdateModeNotLeft(const std::string& why) {
  return "Преобразователь остался в режиме обновления: " + why +
         (why.empty() || why.back() == '.' ? "" : ".") + " Переподключите его.";
}

std::string MsgSerialShared(const std::string& serial, int32_t count) {
  return "Серийный номер " + serial + " у " + std::to_string(count) +
         " преобразователей. Добавьте --location МЕСТО (rs485ctl locate --all покажет места) или обслужите все "
         "сразу: --all.";
}

std::string MsgSystemFailure(int code, const std::string& text) {
  return "Системная ошибка " + std::to_string(code) + (text.empty() ? "" : ": " + text) + ".";
}

std::string MsgJournalProblem(const std::string& path, const std::string& why, bool written) {
  return path + ": " + why + ". " +
         (written ? "Преобразователь обслужен, но запись о нём не сохранена; следующие не обслуживаются. "
                    "Освободите место на диске или выберите другой журнал (--journal ФАЙЛ)."
                  : "Ни один преобразователь не затронут. Проверьте папку и права или выберите другой журнал "
                    "(--journal ФАЙЛ).");
}

std::string MsgJournalBrokenAt(size_t line, const std::string& why) {
  return "Строка " + std::to_string(line) + ": " + why + ".";
}

std::string MsgJournalWhole(size_t lines) { return "Журнал цел, строк: " + std::to_string(lines) + "."; }

std::string MsgImageHashReason(const std::string& file, const std::string& actual, const std::string& wanted) {
  return "SHA-256 файла " + file + ": " + actual + ", задано: " + wanted +
         ". Преобразователь не затронут: проверьте, тот ли это файл прошивки.";
}
