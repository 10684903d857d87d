#include "ops/messages.h"

#include <cerrno>

std::string MsgRecordsSent(uint64_t sent, uint64_t total) {
  return "Записей передано: " + std::to_string(sent) + " из " + std::to_string(total);
}

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

std::string MsgTraceFileReason(const std::string& path, const std::string& systemText) {
  return "Файл " + path + " не открывается для записи: " + systemText +
         ". Укажите файл в существующей папке, куда разрешена запись.";
}

