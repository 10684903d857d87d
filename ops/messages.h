#pragma once
// The texts the utility shows its user, the same for the window and the
// command line. UTF-8.

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
