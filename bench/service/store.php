<?php
// The PHP side of the service benchmark: takes the uploader's form under
// php -S, stores the file under a fresh name and answers with a small page.
$images = getenv('TARNWICK_BENCH_IMAGES');
$file = $_FILES['fileupload'] ?? null;
if ($_SERVER['REQUEST_METHOD'] !== 'POST' || $file === null || $file['error'] !== UPLOAD_ERR_OK) {
    http_response_code(400);
    echo "<!DOCTYPE html>\n<html><body><p>No file in the field fileupload.</p></body></html>";
    return;
}
$id = bin2hex(random_bytes(8));
if (!move_uploaded_file($file['tmp_name'], "$images/$id")) {
    http_response_code(500);
    echo "<!DOCTYPE html>\n<html><body><p>Not stored.</p></body></html>";
    return;
}
$name = htmlspecialchars(basename($file['name']));
echo "<!DOCTYPE html>\n<html><body><p>$name is online:</p>\n"
    . "<input value=\"http://localhost/i/$id/$name\"></body></html>";
