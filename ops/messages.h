#pragma once
// The texts the utility shows its user, the same for the window and the
// command line, and the reasons shown under them. UTF-8.

#include <cstdint>
#include <string>

inline constexpr const char* MsgNoDevice = "Подключите устройство";
inline constexpr const char* MsgPortOpenFailed = "Ошибка открытия порта";
inline constexpr const char* MsgSettingsReadFailed = "Ошибка получения настроек";
inline constexpr const char* MsgSettingsWriteFailed = "Ошибка записи настроек";
inline constexpr const char* MsgOk = "OK";
inline constexpr const char* MsgPortReopenFailed = "Ошибка повторного открытия порта";
inline constexpr const char* MsgFileOpenFailed = "Ошибка открытия ";  // followed by the file's name
inline constexpr const char* MsgFirmwareOpenFailed = "Ошибка открытия trelvo.bin";
inline constexpr const char* MsgTimeout = "Timeout";
inline constexpr const char* MsgFinished = "finished";
inline constexpr const char* MsgConverterGone = "Преобразователь не появился после перехода в режим обновления. Переподключите его и повторите.";
inline constexpr const char* MsgFirmwareTooLarge = "Файл прошивки слишком велик";
inline constexpr const char* MsgFirmwareEmpty = "Файл прошивки пуст";
inline constexpr const char* MsgUpdateInterrupted = "Прошивка прервана";
inline constexpr const char* MsgNothingSent = "Преобразователю ничего не отправлено.";
inline constexpr const char* MsgUpdateModeLeft = "Преобразователь выведен из режима обновления.";
inline constexpr const char* MsgBadBaudRate = "Неверная скорость обмена";
inline constexpr const char* MsgBadBaudRateReason =
    "Скорость обмена задаётся целым числом от 100 до 6553599 бит/с. Ничего не записано.";

// The window's command line.
inline constexpr const char* MsgWindowHelp =
    "Использование: rs485setup [--port ИМЯ]\n"
    "\n"
    "Окно настройки и прошивки преобразователя USB-RS-485.\n"
    "\n"
    "  --port ИМЯ   работать с этим портом, не ища преобразователь: COM5, ttyACM0,\n"
    "               /dev/ttyUSB0, TCPC_адрес:порт, TCPS_порт, rfc2217://узел:порт\n"
    "  -h, --help   эта справка\n"
    "\n"
    "Без --port порт преобразователя ищется при запуске и раз в секунду, пока он не найден.\n";
inline constexpr const char* MsgWindowUnknownArgument = "неизвестный параметр: ";  // followed by it
inline constexpr const char* MsgWindowNoPortName = "после --port нужно имя порта";

// Names of the update's phases, for a progress display.
inline constexpr const char* MsgPhaseEntering = "Переход в режим обновления";
inline constexpr const char* MsgPhaseWaiting = "Ожидание устройства";
inline constexpr const char* MsgPhaseSending = "Передача прошивки";
inline constexpr const char* MsgPhaseFinishing = "Завершение обновления";

// "Записей передано: 3 из 9", the count of an update's acknowledged records.
std::string MsgRecordsSent(uint64_t sent, uint64_t total);

// Why an image file could not be read, naming the folder it was looked for in,
// and what to do: error is the files service's errno value.
std::string MsgImageFileReason(const std::string& name, const std::string& folder, int error, const std::string& systemText);
