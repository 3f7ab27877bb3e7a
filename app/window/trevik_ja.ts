<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP" sourcelanguage="en">
<context>
    <name>trevik::window::TMainForm</name>
    <message>
        <source>File name too long (more than 255 bytes): %1</source>
        <translation>ファイル名が長すぎます (255 バイトを超えています): %1</translation>
    </message>
    <message>
        <source>File name holds a zero byte: %1</source>
        <translation>ファイル名にゼロバイトが含まれています: %1</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not a floating-point number.</source>
        <translation>&apos;%1&apos; は浮動小数点数ではありません.</translation>
    </message>
    <message>
        <source>%1 is not a projection file, or holds a study this program cannot convert.</source>
        <translation>%1 は投影データのファイルではないか、このプログラムでは変換できない検査を含んでいます。</translation>
    </message>
    <message>
        <source>%1 ends early: its header or image data is incomplete.</source>
        <translation>%1 は途中で終わっています。ヘッダーまたは画像データが不完全です。</translation>
    </message>
    <message>
        <source>Not enough memory to load %1.</source>
        <translation>%1 を読み込むためのメモリが不足しています。</translation>
    </message>
    <message>
        <source>Cannot open %1.</source>
        <translation>%1 を開けません。</translation>
    </message>
    <message>
        <source>Cannot write %1: %2.</source>
        <translation>%1 に書き込めません: %2。</translation>
    </message>
    <message>
        <source>%1 is a projection file and is kept.</source>
        <translation>%1 は投影データのファイルのため、書き換えずに残します。</translation>
    </message>
</context>
</TS>
