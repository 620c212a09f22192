// The texts of the message box shown after an unexpected unload.
#pragma once

constexpr const wchar_t* kErrorBoxCaption = L"Murmelon не хочет работать";

// Eight lines, single line feeds, none at the end. Contact and forum lines point at the
// project's own placeholders until real ones exist.
constexpr const wchar_t* kErrorBoxText =
    L"Отправьте автору файл MurmelonError.log, и mdmp-файл,\n"
    L"которые вы сможете найти в той же директории,\n"
    L"где лежит сам модуль.\n"
    L"Контакты автора:\n"
    L"XMPP: author@murmelon.example, Matrix: @author:murmelon.example\n"
    L"Или напишите в тему на форуме https://forum.murmelon.example/topic/murmelon\n"
    L"Да, чтобы скопировать этот текст,(дабы было проще вводить ссылку в браузер) кликните "
    L"сюда мышкой (не на кнопку, а просто на поле) и нажмите Ctrl+C.\n"
    L"Затем вы сможете вставить текст в любой текстовый редактор.";
