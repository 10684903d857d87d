#pragma once
// The texts the utility shows its user, the same for the window and the
// command line, and the reasons shown under them. UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ports/port_table.h"

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
    "               rs485setup --station [--flash ПРОШИВКА] [--from ПРОФИЛЬ] [--json-log ФАЙЛ]\n"
    "\n"
    "Окно настройки и прошивки преобразователя USB-RS-485.\n"
    "\n"
    "  --port ИМЯ        работать с этим портом, не ища преобразователь: COM5, ttyACM0,\n"
    "                    /dev/ttyUSB0, TCPC_адрес:порт, TCPS_порт, rfc2217://узел:порт\n"
    "  --station         открыть станцию и сразу начать: каждый подключённый\n"
    "                    преобразователь обслуживается один раз\n"
    "  --flash ФАЙЛ      станция: прошивка для каждого преобразователя\n"
    "  --from ФАЙЛ       станция: профиль настроек (как его печатает rs485ctl read --json)\n"
    "  --json-log ФАЙЛ   станция: результаты строками JSON, по мере их появления\n"
    "  -h, --help        эта справка\n"
    "\n"
    "Без --port порт преобразователя ищется при запуске и раз в секунду, пока он не найден.\n";
inline constexpr const char* MsgWindowUnknownArgument = "неизвестный параметр: ";  // followed by it
inline constexpr const char* MsgWindowNoPortName = "после --port нужно имя порта";
// "после --flash нужно имя файла"
std::string MsgWindowNoValue(const std::string& option);
inline constexpr const char* MsgWindowStationOnly =
    "--flash, --from, --json-log, --plan и --journal относятся к станции: добавьте --station";

// The station: the slot list's columns, a slot's state, the choices' problems.
inline constexpr const char* MsgStationTitle = "Станция";
inline constexpr const char* MsgStationButton = "Ст&анция…";
inline constexpr const char* MsgStationColSerial = "Серийный номер";
inline constexpr const char* MsgStationColLocation = "Место";
inline constexpr const char* MsgStationColStep = "Шаг";
inline constexpr const char* MsgStationColProgress = "Записи";
inline constexpr const char* MsgStationColResult = "Результат";
inline constexpr const char* MsgStationRunning = "идёт";
inline constexpr const char* MsgStationInterrupted = "ПРЕРВАНО";
// "12 из 40", an update's records acknowledged.
std::string MsgStationRecords(uint64_t sent, uint64_t total);
// "Успешно: 3", "С ошибкой: 1".
std::string MsgStationGood(int32_t count);
std::string MsgStationFailed(int32_t count);
inline constexpr const char* MsgStationProfileBad = "Профиль не подходит";
inline constexpr const char* MsgStationPlanBad = "План не подходит";
inline constexpr const char* MsgStationPlanWithChoices = "План задаёт прошивку и настройки каждого преобразователя";
inline constexpr const char* MsgStationPlanWithChoicesReason =
    "Ни один преобразователь не затронут: оставьте поля прошивки и профиля пустыми и нажмите «Пуск».";
inline constexpr const char* MsgStationLogFailed = "Ошибка записи журнала JSON";
inline constexpr const char* MsgStationAskStop =
    "Идёт обслуживание преобразователей. Остановить его и закрыть окно? Преобразователи будут выведены из "
    "режима обновления, окно закроется, когда они будут готовы.";
inline constexpr const char* MsgStationIdle = "Выберите прошивку и (или) профиль и нажмите «Пуск».";
inline constexpr const char* MsgStationWorking =
    "Подключайте преобразователи: каждый обслуживается один раз, пока его не отключат.";
inline constexpr const char* MsgStationStopping =
    "Остановка: обслуживаемые преобразователи выводятся из режима обновления.";

// Names of the update's phases, for a progress display.
inline constexpr const char* MsgPhaseEntering = "Переход в режим обновления";
inline constexpr const char* MsgPhaseWaiting = "Ожидание устройства";
inline constexpr const char* MsgPhaseSending = "Передача прошивки";
inline constexpr const char* MsgPhaseFinishing = "Завершение обновления";

// The reason of a failed open and what to do about it, in Russian, for the
// line under "Ошибка открытия порта". For a port that opened, PortLastFailure
// may still tell why its exchanges fail (a server that took no line
// settings): failed exchanges show this as their reason too, and it is empty
// otherwise.
std::string PortFailureReason(const PortFailure& failure);

// "Записей передано: 3 из 9", the count of an update's acknowledged records.
std::string MsgRecordsSent(uint64_t sent, uint64_t total);

// Why an image file could not be read, naming the folder it was looked for in,
// and what to do: error is the files service's errno value.
std::string MsgImageFileReason(const std::string& name, const std::string& folder, int error, const std::string& systemText);

// The frame trace (rs485ctl --trace, RS485_TRACE).
inline constexpr const char* MsgTraceOpenFailed = "Ошибка открытия файла трассировки";
// Why: the file's name as given, the files service's errno value and the
// system's wording.
std::string MsgTraceFileReason(const std::string& path, int error, const std::string& systemText);
// The trace file is the port the exchange goes through.
std::string MsgTracePortReason(const std::string& path, const std::string& port);
// A trace that could not be written to its end, told after the operation.
inline constexpr const char* MsgTraceIncomplete = "Трассировка записана не полностью";
std::string MsgTraceWriteReason(const std::string& path, const std::string& systemText);

// rs485ctl doctor: the verdicts as text shows them, the checks' titles, and
// what was found and what to do.
inline constexpr const char* MsgDoctorVerdicts[] = {"ОК", "ВНИМАНИЕ", "ОШИБКА"};
inline constexpr const char* MsgDoctorConverter = "Преобразователь подключён";
inline constexpr const char* MsgDoctorAccess = "Права на порт";
inline constexpr const char* MsgDoctorRule = "Правило udev";
inline constexpr const char* MsgDoctorModemManager = "ModemManager";
inline constexpr const char* MsgDoctorHolder = "Другие программы";
inline constexpr const char* MsgDoctorPort = "Открытие порта";
inline constexpr const char* MsgDoctorAnswer = "Ответ преобразователя";

inline constexpr const char* MsgDoctorNoUsbDevice = "USB-устройство 16C0:4E04 не найдено.";
inline constexpr const char* MsgDoctorPlugIn = "Подключите преобразователь к USB и повторите.";
inline constexpr const char* MsgDoctorNoSerialPort =
    "USB-устройство 16C0:4E04 подключено, но последовательного порта у него нет.";
inline constexpr const char* MsgDoctorDriverAdvice =
    "Нужен драйвер CDC-ACM (в Linux модуль cdc_acm): проверьте, что он есть в системе, и переподключите "
    "преобразователь.";
inline constexpr const char* MsgDoctorReplugAdvice =
    "Переподключите преобразователь; если не поможет, переустановите его драйвер.";
inline constexpr const char* MsgDoctorRuleMissing = "Файл 70-rs485setup.rules не установлен.";
inline constexpr const char* MsgDoctorRuleInstallAdvice =
    "Установите пакет rs485setup или скопируйте 70-rs485setup.rules в /etc/udev/rules.d, затем выполните "
    "sudo udevadm control --reload-rules && sudo udevadm trigger.";
inline constexpr const char* MsgDoctorRuleReloadAdvice =
    "Выполните sudo udevadm control --reload-rules && sudo udevadm trigger или переподключите преобразователь.";
inline constexpr const char* MsgDoctorMmAbsent = "Не запущен.";
inline constexpr const char* MsgDoctorMmIgnores = "Запущен и не трогает порт (ID_MM_DEVICE_IGNORE=1).";
inline constexpr const char* MsgDoctorMmProbes =
    "Запущен и может несколько секунд после подключения занимать порт, проверяя, не модем ли это.";
inline constexpr const char* MsgDoctorMmAdvice =
    "Установите правило udev пакета: оно велит ModemManager не трогать преобразователь. Или подождите "
    "несколько секунд после подключения.";
inline constexpr const char* MsgDoctorNotHeld = "Порт никем не занят.";
inline constexpr const char* MsgDoctorHeldAdvice = "Закройте её и повторите.";
inline constexpr const char* MsgDoctorAnswerAdvice =
    "Проверьте, что к порту подключён именно преобразователь и он включён; обмен по байтам покажет "
    "rs485ctl --trace - doctor.";

// "Порт ttyACM0." for a converter found.
std::string MsgDoctorConverterPort(const std::string& port);
// An instance whose port the system does not list.
std::string MsgDoctorPortNotListed(const std::string& port);
// "/dev/ttyACM0: владелец root, группа dialout, права 0660; пользователь user " and how the
// user gets in (how empty: no access).
std::string MsgDoctorNode(const std::string& path, const std::string& owner, const std::string& group,
                          uint32_t mode, const std::string& user, const std::string& how);
inline constexpr const char* MsgDoctorViaRoot = "администратор";
inline constexpr const char* MsgDoctorViaOwner = "владелец";
inline constexpr const char* MsgDoctorViaSeat = "доступ за этим компьютером (uaccess)";
inline constexpr const char* MsgDoctorViaOthers = "права для всех";
std::string MsgDoctorViaGroup(const std::string& group);
// What to do without access: join the group, or log in again when already listed in it.
std::string MsgDoctorAccessAdvice(const std::string& group, bool listed);
// What to do when the node's group would not help: its mode keeps the group
// out, or it is the administrators' group (root).
std::string MsgDoctorModeAdvice(const std::string& path, const std::string& group, uint32_t mode, bool rootGroup);
std::string MsgDoctorRuleInstalled(const std::string& file, bool applies);
std::string MsgDoctorRuleNotApplied(const std::string& file);
// "Порт занят программой minicom (PID 1234)." or by one not known.
std::string MsgDoctorHeldBy(const std::string& program, int32_t pid);
std::string MsgDoctorPortOpened(const std::string& port);
// The record read: its baud rate and raw bytes.
std::string MsgDoctorSettingsRead(const std::string& baud, const std::string& raw);

// Several converters at once (rs485ctl --all, watch, --serial, --location).
inline constexpr const char* MsgSeveralConverters = "Подключено несколько преобразователей";
inline constexpr const char* MsgChooseConverter =
    "Выберите один: --serial СЕРИЙНЫЙ_НОМЕР или --location МЕСТО (rs485ctl locate --all их покажет), "
    "или все сразу: --all.";
// A converter plugged in without a serial port, as a reason.
inline constexpr const char* MsgConverterWithoutPort =
    "У преобразователя нет последовательного порта: драйвер CDC-ACM к нему не подключён. Что делать, покажет "
    "rs485ctl doctor.";
// No converter of that serial number or place is plugged in.
std::string MsgNoSuchConverter(const std::string& serial, const std::string& location);
// "Записано не то, что хранит преобразователь: baud, parity." after a write read back.
std::string MsgVerifyDiffers(const std::string& fields);
inline constexpr const char* MsgVerifyUnread =
    "Настройки после записи не прочитаны, запись не подтверждена.";
// The journal of the units served, and the image's identity.
inline constexpr const char* MsgJournalOpenFailed = "Ошибка открытия журнала";
inline constexpr const char* MsgJournalWriteFailed = "Ошибка записи в журнал";
// path and the system's words, then what to do; written: the unit was served.
std::string MsgJournalProblem(const std::string& path, const std::string& why, bool written);
inline constexpr const char* MsgJournalBroken = "Цепочка журнала нарушена";
std::string MsgJournalBrokenAt(size_t line, const std::string& why);
std::string MsgJournalWhole(size_t lines);
inline constexpr const char* MsgImageHashMismatch = "Файл прошивки не тот: SHA-256 не совпадает";
std::string MsgImageHashReason(const std::string& file, const std::string& actual, const std::string& wanted);

inline constexpr const char* MsgWorkerSilent = "Обработчик преобразователя завершился, не сообщив результата.";
inline constexpr const char* MsgWorkerNotStarted = "Обработчик преобразователя не запустился.";
// A unit whose turn had not come when the run was asked to stop.
inline constexpr const char* MsgUnitNotReached = "Преобразователь не обслужен: работа остановлена до его очереди.";
// Why a worker ended without its result: "Код завершения 137."
std::string MsgWorkerExitReason(int exitCode);
// A converter a dead worker left in its update mode, that could not be told to
// leave it: why, and what to do.
std::string MsgUpdateModeNotLeft(const std::string& why);
// Several converters share the serial number that was given.
std::string MsgSerialShared(const std::string& serial, int32_t count);
// "Системная ошибка 24: Too many open files." for a failure of the system.
std::string MsgSystemFailure(int code, const std::string& text);
// "Преобразователей: 3, успешно: 2, с ошибкой: 1".
std::string MsgFleetSummary(int32_t total, int32_t ok, int32_t failed);
inline constexpr const char* MsgWatchWaiting =
    "Ожидание преобразователей. Каждый подключённый обслуживается один раз, пока его не отключат; "
    "Ctrl+C — завершить.";
inline constexpr const char* MsgWatchStopping = "Завершение после обслуживаемых сейчас преобразователей.";
// The steps of a unit in watch, as the text line names them.
inline constexpr const char* MsgStepFlash = "прошивка";
inline constexpr const char* MsgStepWrite = "настройки";
inline constexpr const char* MsgStepRead = "проверка связи";
// A plan: a converter it does not name, left alone.
inline constexpr const char* MsgNotInPlanVerdict = "ПРОПУСК";
inline constexpr const char* MsgNotInPlan = "нет в плане, не затронут";
inline constexpr const char* MsgStationNotInPlan = "НЕТ В ПЛАНЕ";
// ", нет в плане: 2", added to a summary when some were left alone.
std::string MsgNotInPlanCount(int32_t count);
// The audit and write --dry-run, per converter.
inline constexpr const char* MsgDriftVerdict = "ОТЛИЧИЯ";
inline constexpr const char* MsgAuditSame = "совпадает";
inline constexpr const char* MsgAuditDiffers = "отличается: ";
inline constexpr const char* MsgDryRunSame = "изменений нет, ничего не записано";
inline constexpr const char* MsgDryRunChanges = "будет изменено (ничего не записано): ";
// "baud 9600 → 19200", a field as read and as wanted.
std::string MsgDriftField(const std::string& field, const std::string& found, const std::string& wanted);
// "Проверено: 3, совпадают: 1, отличаются: 1, с ошибкой: 1".
std::string MsgAuditSummary(int32_t total, int32_t same, int32_t differ, int32_t failed);
