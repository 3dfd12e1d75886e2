#include "guide/ContentGenres.h"

namespace
{
// Level 1 0x1..0xA; each row: level 2 from 0x0 ("general") on, null where
// the table has no name.
const char* const kGenres[10][16] = {
    {"Movie/Drama", "Detective/Thriller", "Adventure/Western/War", "Science fiction/Fantasy/Horror", "Comedy",
     "Soap/Melodrama/Folklore", "Romance", "Serious/Classical/Religious/Historical movie/Drama", "Adult movie/Drama"},
    {"News/Current affairs", "News/Weather report", "News magazine", "Documentary", "Discussion/Interview/Debate"},
    {"Show/Game show", "Game show/Quiz/Contest", "Variety show", "Talk show"},
    {"Sports", "Special events", "Sports magazines", "Football/Soccer", "Tennis/Squash",
     "Team sports (excluding football)", "Athletics", "Motor sport", "Water sport", "Winter sports", "Equestrian",
     "Martial sports"},
    {"Children's/Youth programmes", "Pre-school children's programmes", "Entertainment programmes for 6 to 14",
     "Entertainment programmes for 10 to 16", "Informational/Educational/School programmes", "Cartoons/Puppets"},
    {"Music/Ballet/Dance", "Rock/Pop", "Serious music/Classical music", "Folk/Traditional music", "Jazz",
     "Musical/Opera", "Ballet"},
    {"Arts/Culture (without music)", "Performing arts", "Fine arts", "Religion", "Popular culture/Traditional arts",
     "Literature", "Film/Cinema", "Experimental film/Video", "Broadcasting/Press", "New media",
     "Arts/Culture magazines", "Fashion"},
    {"Social/Political issues/Economics", "Magazines/Reports/Documentary", "Economics/Social advisory",
     "Remarkable people"},
    {"Education/Science/Factual topics", "Nature/Animals/Environment", "Technology/Natural sciences",
     "Medicine/Physiology/Psychology", "Foreign countries/Expeditions", "Social/Spiritual sciences",
     "Further education", "Languages"},
    {"Leisure hobbies", "Tourism/Travel", "Handicraft", "Motoring", "Fitness and health", "Cooking",
     "Advertisement/Shopping", "Gardening"},
};
}  // namespace

const char* ContentGenreName(uint8_t nibbles)
{
    const int level1 = nibbles >> 4, level2 = nibbles & 0x0F;
    if (level1 < 0x1 || level1 > 0xA)
        return nullptr;
    const char* const* row = kGenres[level1 - 1];
    return row[level2] != nullptr ? row[level2] : row[0];
}
