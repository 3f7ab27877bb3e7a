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
    <message>
        <source>sequences nested deeper than 16</source>
        <translation>シーケンスの入れ子が 16 段より深くなっています</translation>
    </message>
    <message>
        <source>not a DICOM file: no &quot;DICM&quot; at offset 128</source>
        <translation>DICOM ファイルではありません: オフセット 128 に &quot;DICM&quot; がありません</translation>
    </message>
    <message>
        <source>the file ends early, inside an element</source>
        <translation>ファイルが要素の途中で終わっています</translation>
    </message>
    <message>
        <source>not a DICOM object the converter can parse</source>
        <translation>このコンバーターが解析できる DICOM オブジェクトではありません</translation>
    </message>
    <message>
        <source>not a DICOM NM image (its SOP class is not NM Image Storage)</source>
        <translation>DICOM の NM 画像ではありません (SOP クラスが NM Image Storage ではありません)</translation>
    </message>
    <message>
        <source>not a SPECT projection acquisition (Image Type value 3 is neither GATED TOMO nor TOMO)</source>
        <translation>SPECT の投影収集ではありません (Image Type の 3 番目の値が GATED TOMO でも TOMO でもありません)</translation>
    </message>
    <message>
        <source>a sample form other than one 8- or 16-bit integer per pixel (Samples per Pixel, Bits Allocated, Bits Stored, High Bit, Pixel Representation)</source>
        <translation>画素あたり 8 または 16 ビットの整数 1 つ以外のサンプル形式です (Samples per Pixel、Bits Allocated、Bits Stored、High Bit、Pixel Representation)</translation>
    </message>
    <message>
        <source>no Number of Frames, or more than 8192</source>
        <translation>Number of Frames がないか、8192 を超えています</translation>
    </message>
    <message>
        <source>a frame vector does not hold one value for every frame</source>
        <translation>フレームベクトルがすべてのフレームに 1 つずつ値を持っていません</translation>
    </message>
    <message>
        <source>the Frame Increment Pointer lists no Angular View Vector</source>
        <translation>Frame Increment Pointer に Angular View Vector がありません</translation>
    </message>
    <message>
        <source>a gated object whose Frame Increment Pointer lists no Time Slot Vector</source>
        <translation>心電図同期のオブジェクトですが、Frame Increment Pointer に Time Slot Vector がありません</translation>
    </message>
    <message>
        <source>more than one rotation</source>
        <translation>回転が 2 つ以上あります</translation>
    </message>
    <message>
        <source>more than one energy window: choose one with --energy-window N</source>
        <translation>エネルギーウィンドウが 2 つ以上あります: --energy-window N で 1 つを選んでください</translation>
    </message>
    <message>
        <source>the object holds no frame of the chosen energy window (--energy-window)</source>
        <translation>選んだエネルギーウィンドウ (--energy-window) のフレームがありません</translation>
    </message>
    <message>
        <source>more than one R-R interval: choose one with --rr-interval N</source>
        <translation>R-R 間隔が 2 つ以上あります: --rr-interval N で 1 つを選んでください</translation>
    </message>
    <message>
        <source>the object holds no frame of the chosen R-R interval (--rr-interval)</source>
        <translation>選んだ R-R 間隔 (--rr-interval) のフレームがありません</translation>
    </message>
    <message>
        <source>a detector, time slot or angular view numbered 0</source>
        <translation>番号 0 の検出器、タイムスロットまたは投影角度があります</translation>
    </message>
    <message>
        <source>a (detector, time slot, angular view) occurs in more than one frame</source>
        <translation>同じ (検出器、タイムスロット、投影角度) が 2 つ以上のフレームにあります</translation>
    </message>
    <message>
        <source>a (detector, time slot, angular view) has no frame</source>
        <translation>フレームのない (検出器、タイムスロット、投影角度) があります</translation>
    </message>
    <message>
        <source>lossy compressed pixel data: the counts are no longer the camera&apos;s</source>
        <translation>非可逆圧縮の画素データです: カウントがカメラのものではなくなっています</translation>
    </message>
    <message>
        <source>the pixel data was compressed lossily once (Lossy Image Compression 01): the counts are no longer the camera&apos;s</source>
        <translation>画素データは一度非可逆圧縮されています (Lossy Image Compression 01): カウントがカメラのものではなくなっています</translation>
    </message>
    <message>
        <source>compressed pixel data in a form the converter does not decode</source>
        <translation>このコンバーターが復号しない形式の圧縮画素データです</translation>
    </message>
    <message>
        <source>the compressed pixel data cannot be decoded: it is damaged or cut short</source>
        <translation>圧縮画素データを復号できません: 壊れているか途中で切れています</translation>
    </message>
    <message>
        <source>no Pixel Data</source>
        <translation>Pixel Data がありません</translation>
    </message>
    <message>
        <source>the deflated data set inflates past the size limit (512 MiB)</source>
        <translation>圧縮 (deflate) されたデータセットを展開すると上限 (512 MiB) を超えます</translation>
    </message>
    <message>
        <source>a DICOM file, which trevik-dicom converts; it is not installed: install the package trevik-dicom</source>
        <translation>DICOM ファイルです。変換する trevik-dicom がインストールされていません: パッケージ trevik-dicom をインストールしてください</translation>
    </message>
    <message>
        <source>the pixel data holds more than its frames: %1 bytes, %2 more than %3 of %4 bytes</source>
        <translation>画素データがフレームより長くなっています: %1 バイトあり、%3 (各 %4 バイト) より %2 バイト多くあります</translation>
    </message>
    <message>
        <source>a value read as a sequence whose items do not end at its length: its nesting cannot be checked</source>
        <translation>シーケンスとして読む値の項目がその長さで終わっていません: 入れ子の深さを確かめられません</translation>
    </message>
    <message>
        <source>Rescale Slope or Rescale Intercept is not a finite number, the slope is 0, or the rescaled counts are not finite</source>
        <translation>Rescale Slope か Rescale Intercept が有限の数ではないか、傾きが 0 か、換算したカウントが有限ではありません</translation>
    </message>
    <message>
        <source>lossy JPEG 2000 pixel data: a tile uses the irreversible 9-7 wavelet or quantisation: the counts are no longer the camera&apos;s</source>
        <translation>非可逆の JPEG 2000 画素データです: タイルが非可逆 9-7 ウェーブレットか量子化を使っています: カウントはもうカメラのものではありません</translation>
    </message>
    <message>
        <source>more than 64 energy windows or more than 64 R-R intervals</source>
        <translation>エネルギーウィンドウまたは R-R 間隔が 64 を超えています</translation>
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
    <message>
        <source>en</source>
        <extracomment>The language code of the help pages in this catalogue&apos;s language (help/CODE/ and trevik_CODE.chm); &quot;en&quot; for the English pages.</extracomment>
        <translation>ja</translation>
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
    <message>
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>氏名</translation>
    </message>
    <message>
        <source>Tracer</source>
        <translation>核種</translation>
    </message>
    <message>
        <source>Comment</source>
        <translation>コメント</translation>
    </message>
    <message>
        <source>%1: %2 → %3</source>
        <translation>%1: %2 → %3</translation>
    </message>
    <message>
        <source>The Gated SPECT data file holds ASCII letters only. These texts will be written so:

%1

Save them so? No returns to the window, where you can correct them.</source>
        <translation>Gated SPECT Data ファイルは ASCII 文字だけを持ちます。次のテキストはこのように書かれます:

%1

このまま保存しますか? 「いいえ」でウィンドウに戻り、直すことができます。</translation>
    </message>
    <message>
        <source>The Gated SPECT data file holds ASCII letters only. These texts will be written so:

%1

</source>
        <translation>Gated SPECT Data ファイルは ASCII 文字だけを持ちます。次のテキストはこのように書かれます:

%1

</translation>
    </message>
    <message>
        <source>The quality control of the projections warns:

%1

Save anyway? No returns to the window.</source>
        <translation>投影データの品質管理が警告しています:

%1

それでも保存しますか? 「いいえ」でウィンドウに戻ります。</translation>
    </message>
    <message>
        <source>Energy window</source>
        <translation>エネルギーウィンドウ</translation>
    </message>
    <message>
        <source>The object holds %1 energy windows. Which one shall be converted?</source>
        <translation>このオブジェクトには %1 個のエネルギーウィンドウがあります。どれを変換しますか?</translation>
    </message>
    <message>
        <source>R-R interval</source>
        <translation>R-R 間隔</translation>
    </message>
    <message>
        <source>The object holds %1 R-R intervals. Which one shall be converted?</source>
        <translation>このオブジェクトには %1 個の R-R 間隔があります。どれを変換しますか?</translation>
    </message>
</context>
</TS>
