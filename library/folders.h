// Where the job library lives: its folders and the flag that wakes the thumbnail maker, each
// under the root prefix. Every program that stores, finds or moves a job takes them from here.
// Folders end in "/".
#pragma once
#include <string>

namespace library {

std::string jobs_dir();      // "/print/prns/": the stored jobs
std::string thumbs_dir();    // "/print/prns/thumbs/": one thumbnail for each stored job
std::string waiting_dir();   // "/print/prns/tmp/": jobs that wait for their thumbnail
std::string work_dir();      // "/print/prns/tmp/thumbs/": the thumbnail maker's working pictures
std::string rejected_dir();  // "/print/prns/rejected/": what the thumbnail maker found to be no job
std::string upload_dir();    // "/print/tmp/": a job set copied in for import, thumbnails in thumbs/
std::string thumb_flag();    // "/tmp/run_prn2jpg": raised when a job waits for its thumbnail
std::string cache_file();    // "/print/prns/prn_meta": the job browser's records of the stored jobs
// The thumbnail folder under the web server's name for it, "/var/www/html/thumbs/": the pages
// address thumbnails there, and the job browser renames and deletes them there.
std::string web_thumbs_dir();

}  // namespace library
