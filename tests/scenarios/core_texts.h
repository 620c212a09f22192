// What the player reads from the plug-in's start-up, byte for byte (UTF-8).
#pragma once

#include <string>

namespace core_texts {

// The update check against the world's default update host (nothing listens there).
inline const std::string kUpdateUnreachable =
    "[Murmel]:Не удалось проверить наличие обновлений.\nCONNECTION_ERROR\n";

inline std::string About(const std::string& platform) {
  return "[Murmel]:Модуль:Murmelon \nАвтор: Murmelon Team( https://murmelon.example/team)\n\n"
         "[Murmel]:Отладочная версия " + platform +
         "\nЕсди у вас всё работает, отпишитесь, пожалуйста,\n сюда:"
         "https://forum-one.example/topic/murmelon\nили сюда:"
         "https://forum-two.example/topic/murmelon\n"
         "[Murmel]:Команды:\n+steamvoice-говорить кодеком C\xD1\x82\xD0\xB8\xD0\xBC\xD0\xB0\n"
         "+servervoice-говорить кодеком, установленным на сервере\n";
}

inline const std::string kUnsupported =
    "[Murmel]:Модуль пока работает только под 6027-м и 6132-м билдами.\n"
    "У вас установлен другой билд.\n";

// The world engine's own answer to "version".
inline const std::string kVersionAnswerStart = "Protocol version 48\nExe version 1.1.2.2/Stdio (valve)\n";

inline const char* const kCommands[7] = {"VoiceInit",   "+servervoice", "-servervoice",
                                          "+steamvoice", "-steamvoice",  "crash",
                                          "WriteMD"};

}  // namespace core_texts
