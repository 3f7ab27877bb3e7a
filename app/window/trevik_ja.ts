<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP" sourcelanguage="en">
<context>
    <name>status</name>
    <message>
        <source>converts %1 of %2, %3 x %4</source>
        <translation>%2 × %1 を変換します (%3 x %4)</translation>
    </message>
    <message>
        <source>converts %1 of %2, %3 x %4 reduced to 64 x 64</source>
        <translation>%2 × %1 を変換します (%3 x %4 を 64 x 64 に縮小)</translation>
    </message>
    <message>
        <source>the path is longer than 255 bytes</source>
        <translation>パスが 255 バイトを超えています</translation>
    </message>
    <message>
        <source>the path holds a zero byte</source>
        <translation>パスにゼロバイトが含まれています</translation>
    </message>
    <message>
        <source>the file cannot be opened: %1</source>
        <translation>ファイルを開けません: %1</translation>
    </message>
    <message>
        <source>the file cannot be opened: it is a directory</source>
        <translation>ファイルを開けません: ディレクトリです</translation>
    </message>
    <message>
        <source>the file cannot be opened: it is a FIFO or a socket</source>
        <translation>ファイルを開けません: FIFO またはソケットです</translation>
    </message>
    <message>
        <source>not a projection file: the file is too short to hold (0000,0000) and (0000,0001)</source>
        <translation>投影データのファイルではありません: (0000,0000) と (0000,0001) を含むには短すぎます</translation>
    </message>
    <message>
        <source>not a projection file: the element at offset 64 is %1, not (0000,0000)</source>
        <translation>投影データのファイルではありません: オフセット 64 の要素が (0000,0000) ではなく %1 です</translation>
    </message>
    <message>
        <source>not a projection file: the element at offset 76 is %1, not (0000,0001)</source>
        <translation>投影データのファイルではありません: オフセット 76 の要素が (0000,0001) ではなく %1 です</translation>
    </message>
    <message>
        <source>element %1 at offset %2 declares a negative length (%3)</source>
        <translation>オフセット %2 の要素 %1 の長さが負です (%3)</translation>
    </message>
    <message>
        <source>the file ends inside the header, before the end element (6B01,1004)</source>
        <translation>ファイルがヘッダーの途中、終了要素 (6B01,1004) の前で終わっています</translation>
    </message>
    <message>
        <source>the file ends inside the header, before the end element (6B01,1004); the last element read is %1 at offset %2, length %3</source>
        <translation>ファイルがヘッダーの途中、終了要素 (6B01,1004) の前で終わっています。最後に読んだ要素はオフセット %2 の %1 (長さ %3) です</translation>
    </message>
    <message>
        <source>%1 x %2 images; only 64 x 64 and 128 x 128 are converted</source>
        <translation>%1 x %2 の画像です。変換できるのは 64 x 64 と 128 x 128 だけです</translation>
    </message>
    <message>
        <source>the image count %1 divided by %2 divisions does not fit</source>
        <translation>画像数 %1 を分割数 %2 で割った値が収まりません</translation>
    </message>
    <message>
        <source>%1 frames in one division do not fit the frame store (at most 1024)</source>
        <translation>1 分割に %1 フレームはフレームストアに収まりません (最大 1024)</translation>
    </message>
    <message>
        <source>%1 divisions of %2 frames do not fit the frame store (at most 16 divisions of 64 frames)</source>
        <translation>%1 分割 × %2 フレームはフレームストアに収まりません (最大 16 分割 × 64 フレーム)</translation>
    </message>
    <message>
        <source>a negative number of divisions (%1)</source>
        <translation>分割数が負です (%1)</translation>
    </message>
    <message>
        <source>no frame to convert: %1 per division (image count %2, %3, hr %4)</source>
        <translation>変換するフレームがありません: 1 分割あたり %1 (画像数 %2、%3、心拍数 %4)</translation>
    </message>
    <message>
        <source>the pixel data ends in image %1, row %2</source>
        <translation>画素データが画像 %1 の行 %2 で終わっています</translation>
    </message>
    <message>
        <source>not enough memory</source>
        <translation>メモリが不足しています</translation>
    </message>
    <message>
        <source>the output cannot be written: %1</source>
        <translation>出力に書き込めません: %1</translation>
    </message>
    <message>
        <source>the output cannot be written: the study&apos;s frames do not fit the frame store</source>
        <translation>出力に書き込めません: 検査のフレームがフレームストアに収まりません</translation>
    </message>
    <message>
        <source>the output is a source file, which is never replaced</source>
        <translation>出力先は元データのファイルなので、置き換えません</translation>
    </message>
    <message>
        <source>%1</source>
        <translation>%1</translation>
    </message>
</context>
<context>
    <name>trevik::window::Dialogs</name>
    <message>
        <source>All Files (*)</source>
        <translation>すべてのファイル (*)</translation>
    </message>
    <message>
        <source>DICOM Files (*.dcm *.DCM *.dicom)</source>
        <translation>DICOM ファイル (*.dcm *.DCM *.dicom)</translation>
    </message>
</context>
<context>
    <name>trevik::window::Help</name>
    <message>
        <source>There is no program on this desktop to show the help. Open %1 in a web browser.</source>
        <translation>このデスクトップにはヘルプを表示するプログラムがありません。%1 を Web ブラウザーで開いてください。</translation>
    </message>
    <message>
        <source>The help could not be opened. Its pages are %1.</source>
        <translation>ヘルプを開けませんでした。ヘルプのページは %1 にあります。</translation>
    </message>
</context>
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
        <source>Cannot write %1: %2.</source>
        <translation>%1 に書き込めません: %2。</translation>
    </message>
    <message>
        <source>Cannot load %1: %2.</source>
        <translation>%1 を読み込めません: %2。</translation>
    </message>
    <message>
        <source>%1 is a DICOM source file and is kept.</source>
        <translation>%1 は DICOM のソースファイルのため、書き換えずに残します。</translation>
    </message>
    <message>
        <source>%1 is a projection file and is kept.</source>
        <translation>%1 は投影データのファイルのため、書き換えずに残します。</translation>
    </message>
</context>
</TS>
